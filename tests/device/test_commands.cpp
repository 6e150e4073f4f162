#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "drive_rig.h"

namespace quiver {
namespace {

using rig::DriveRig;
using rig::MakeFault;
using Kind = sim::Fault::Kind;

constexpr std::int64_t kMillis = 1'000'000;
constexpr std::int64_t kSecond = 1'000'000'000;

// One drive on E:, scanned, selected, its power-on unit attention reported and its log cleared.
class CommandsTest : public DriveRig {
  protected:
    AtapiDevice& Open(sim::DriveConfig config = rig::Kmr730t()) {
        AddOptical('E', std::move(config));
        device_ = std::make_unique<AtapiDevice>(true);
        Prepare(*device_);
        return *device_;
    }

    // The start times of the TEST UNIT READY commands the drive received.
    std::vector<std::int64_t> PollTimes() {
        std::vector<std::int64_t> out;
        for (const sim::LoggedCommand& c : Sent(0x00)) {
            out.push_back(c.startNanos);
        }
        return out;
    }

    std::unique_ptr<AtapiDevice> device_;
};

TEST_F(CommandsTest, CompositeOperationsSendTheirCommandBlocks) {
    AtapiDevice& d = Open();
    EXPECT_TRUE(d.TestUnitReady());
    EXPECT_TRUE(d.ReadIdentity());
    EXPECT_TRUE(d.StopUnit());
    EXPECT_TRUE(d.EjectTray());
    EXPECT_TRUE(drive().TrayOpen());
    EXPECT_TRUE(d.TrayOpen());
    EXPECT_TRUE(d.LoadTray());
    EXPECT_FALSE(drive().TrayOpen());
    EXPECT_TRUE(d.ReadFlashId());

    EXPECT_EQ(Cdbs(), (std::vector<std::string>{
                          "00 00 00 00 00 00 00 00 00 00 00 00",
                          "12 00 00 00 60 00 00 00 00 00 00 00",
                          "1B 00 00 00 00 00 00 00 00 00 00 00",
                          "1B 00 00 00 02 00 00 00 00 00 00 00",
                          "4A 01 00 00 10 00 00 00 08 00 00 00",
                          "1B 00 00 00 03 00 00 00 00 00 00 00",
                          "DF 11 00 00 00 00 00 00 00 00 00 00",
                      }));
    const auto log = drive().Log();
    const std::pair<sim::DataDir, std::uint32_t> expected[] = {
        {sim::DataDir::None, 0}, {sim::DataDir::In, 96}, {sim::DataDir::None, 0},
        {sim::DataDir::None, 0}, {sim::DataDir::In, 8},  {sim::DataDir::None, 0},
        {sim::DataDir::In, 128},
    };
    ASSERT_EQ(log.size(), std::size(expected));
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].dir, expected[i].first) << i;
        EXPECT_EQ(log[i].length, expected[i].second) << i;
    }
}

TEST_F(CommandsTest, BuildersPackTheirFields) {
    AtapiDevice& d = Open();
    d.GetEventStatus(3, 0x10, 0x1234, 0x55);
    d.Inquiry(3, 0xFF, 0x80, 0xFF, 0x07);
    d.StartStopUnit(0xFF, 0xFF, 0xFF, 0xFE);
    d.ReadBuffer(0x0FC000, 0x4000);
    d.ReadBuffer(0x01004000, 0x100);  // the top byte of the offset is lost
    d.WriteBuffer(0x0FC000, 0x4000, 0x00);
    d.WriteBuffer(0, 0x200, 0x7F);

    EXPECT_EQ(Cdbs(), (std::vector<std::string>{
                          "4A 01 00 00 10 00 00 12 34 55 00 00",
                          "12 03 80 00 FF 07 00 00 00 00 00 00",
                          "1B 01 00 00 F2 00 00 00 00 00 00 00",
                          "3C 01 01 0F C0 00 00 40 00 00 00 00",
                          "3C 01 01 00 40 00 00 01 00 00 00 00",
                          "3B 05 01 0F C0 00 00 40 00 00 00 00",
                          "3B 05 01 00 00 00 00 02 00 7F 00 00",
                      }));
    const auto log = drive().Log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[0].dir, sim::DataDir::In);
    EXPECT_EQ(log[0].length, 0x1234u);
    EXPECT_EQ(log[1].length, 0xFFu);
    EXPECT_EQ(log[3].dir, sim::DataDir::In);
    EXPECT_EQ(log[3].length, 0x4000u);
    EXPECT_EQ(log[5].dir, sim::DataDir::Out);
    EXPECT_EQ(log[5].length, 0x4000u);
    EXPECT_EQ(log[6].dir, sim::DataDir::Out);
    EXPECT_EQ(log[6].length, 0x200u);
}

TEST_F(CommandsTest, ProgrammingControlsCarryNoData) {
    AtapiDevice& d = Open();
    d.WriteBuffer(0x123456, 0x200, 0x80);
    d.WriteBuffer(0, 0x4000, 0xA0);
    const auto log = drive().Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].CdbHex(), "3B 05 01 12 34 56 00 02 00 80 00 00");
    EXPECT_EQ(log[1].CdbHex(), "3B 05 01 00 00 00 00 40 00 A0 00 00");
    for (const auto& c : log) {
        EXPECT_EQ(c.dir, sim::DataDir::None);
        EXPECT_EQ(c.length, 0u);
    }

    // Lengths keep 24 bits in the block, and the transport gets the whole length, which here
    // no buffer holds: the command is not sent.
    drive().ClearLog();
    EXPECT_FALSE(d.WriteBuffer(0, 0x01000010, 0x7F));
    EXPECT_TRUE(drive().Log().empty());
    const std::uint8_t* block = d.LastCommandRecord().commandBlock;
    EXPECT_EQ(block[6], 0x00);
    EXPECT_EQ(block[7], 0x00);
    EXPECT_EQ(block[8], 0x10);
    EXPECT_EQ(d.LastCommandRecord().outcome, kOutcomeFailed);
}

TEST_F(CommandsTest, FlashIdentificationNeedsANonZeroReply) {
    AddOptical('E', rig::Kmr730t());
    sim::DriveConfig zeros = rig::OtherDrive("OTHERCO ", "DVD-ROM X1");
    zeros.otherFlashIdReply = sim::FlashIdReply::Zeros;
    AddOptical('F', zeros, 0, 1);
    AddOptical('G', rig::OtherDrive("THIRDCO ", "CDRW 52X"), 0, 2);
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 3);

    ASSERT_TRUE(device.SelectDrive(0));
    EXPECT_TRUE(device.ReadFlashId());
    const std::uint8_t* reply = device.ReadBufferData();
    EXPECT_EQ(reply[0], 0xC2);
    EXPECT_EQ(reply[1], 0xB6);
    EXPECT_EQ(reply[2], 0x00);
    EXPECT_EQ(reply[3], 0x03);

    ASSERT_TRUE(device.SelectDrive(1));
    EXPECT_FALSE(device.ReadFlashId());
    EXPECT_EQ(device.LastCommandRecord().outcome, kOutcomeGood);  // the command went well
    EXPECT_EQ(device.ReadBufferData()[0], 0);

    ASSERT_TRUE(device.SelectDrive(2));
    EXPECT_FALSE(device.ReadFlashId());
    EXPECT_TRUE(device.SenseIs(5, 0x20));
}

// --- WaitReady ---------------------------------------------------------------------------------

TEST_F(CommandsTest, WaitReadyOnAReadyDriveSendsTwoPolls) {
    AtapiDevice& d = Open();
    const std::int64_t start = machine_.clock.NowNanos();
    EXPECT_TRUE(d.WaitReady(60));
    EXPECT_EQ(CountSent(0x00), 2u);
    EXPECT_EQ(drive().Log().size(), 2u);
    EXPECT_LT(machine_.clock.NowNanos() - start, 100 * kMillis);
}

TEST_F(CommandsTest, WaitReadyPollsEvery300MsWhileTheDriveBecomesReady) {
    sim::DriveConfig config = rig::Kmr730t();
    config.powerOnReadySeconds = 10.0;
    AtapiDevice& d = Open(config);  // the unit attention is gone; NOT READY remains
    EXPECT_TRUE(d.SenseIs(2, 0x04));
    drive().ClearLog();

    EXPECT_TRUE(d.WaitReady(60));
    const auto times = PollTimes();
    ASSERT_GE(times.size(), 30u);
    EXPECT_LE(times.size(), 36u);
    for (std::size_t i = 1; i + 1 < times.size(); ++i) {
        const std::int64_t gap = times[i] - times[i - 1];
        EXPECT_GE(gap, 300 * kMillis) << i;
        EXPECT_LT(gap, 310 * kMillis) << i;
    }
    // The drive answered GOOD, then the final poll followed at once.
    EXPECT_GE(times[times.size() - 2], 10 * kSecond);
    EXPECT_LT(times.back() - times[times.size() - 2], 10 * kMillis);
    const auto log = drive().Log();
    EXPECT_EQ(log.back().completion, sim::Completion::Good);
    EXPECT_EQ(log[log.size() - 2].completion, sim::Completion::Good);
    EXPECT_EQ(log[log.size() - 3].sense, sim::sense::kBecomingReady);
}

TEST_F(CommandsTest, WaitReadyGivesUpAfterItsTimeWithAFinalPoll) {
    AtapiDevice& d = Open();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 0, sim::sense::kBecomingReady));
    const std::int64_t start = machine_.clock.NowNanos();
    EXPECT_FALSE(d.WaitReady(30));
    EXPECT_GE(machine_.clock.NowNanos() - start, 30 * kSecond);
    EXPECT_LT(machine_.clock.NowNanos() - start, 31 * kSecond);

    const auto times = PollTimes();
    ASSERT_GE(times.size(), 3u);
    EXPECT_GE(times.size(), 100u);
    EXPECT_GE(times[times.size() - 2] - times.front(), 30 * kSecond - 310 * kMillis);
    // The poll that found the time over and the final one follow each other at once.
    EXPECT_LT(times.back() - times[times.size() - 2], 10 * kMillis);
    EXPECT_TRUE(d.SenseIs(2, 0x04));
}

TEST_F(CommandsTest, WaitReadyPollsAnyBecomingReadyQualifierAndUnitAttentions) {
    AtapiDevice& d = Open();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 5, sim::Sense{2, 0x04, 0x07}));
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 6, 2, sim::sense::kMediumChanged));
    const std::int64_t start = machine_.clock.NowNanos();
    EXPECT_TRUE(d.WaitReady(60));
    EXPECT_EQ(CountSent(0x00), 9u);  // 5 + 2 polled, the good answer, the final poll
    EXPECT_GE(machine_.clock.NowNanos() - start, 7 * 300 * kMillis);
}

TEST_F(CommandsTest, WaitReadyStopsAtOtherAnswers) {
    AtapiDevice& d = Open();
    // A failure without sense data looks ready.
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x00));
    EXPECT_TRUE(d.WaitReady(60));
    EXPECT_EQ(CountSent(0x00), 2u);

    drive().ClearLog();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 1, sim::Sense{4, 0x40, 0x80}));
    EXPECT_TRUE(d.WaitReady(60));
    EXPECT_EQ(CountSent(0x00), 2u);
}

TEST_F(CommandsTest, WaitReadyEndsWithoutAPerformanceCounter) {
    machine_.os.hasPerformanceCounter = false;  // the timers then measure nothing
    AtapiDevice& d = Open();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 0, sim::sense::kBecomingReady));
    const std::int64_t start = machine_.clock.NowNanos();
    EXPECT_FALSE(d.WaitReady(3));
    EXPECT_GE(machine_.clock.NowNanos() - start, 3 * kSecond);
    EXPECT_LT(machine_.clock.NowNanos() - start, 4 * kSecond);
    EXPECT_LE(CountSent(0x00), 13u);
}

// --- Medium and tray ------------------------------------------------------------------------

TEST_F(CommandsTest, EmptyDriveWithClosedTrayHasNoMedium) {
    AtapiDevice& d = Open(rig::Kmr730t(/*medium=*/false));
    EXPECT_TRUE(d.NoMedium());
    EXPECT_TRUE(d.SenseIs(2, 0x3A));
    EXPECT_EQ(d.LastCommandRecord().ascq, 0x01);
    EXPECT_EQ(CountSent(0x00), 2u);
    EXPECT_FALSE(d.TrayOpen());
}

TEST_F(CommandsTest, OpenTrayHasNoMediumAndReportsTheTray) {
    sim::DriveConfig config = rig::Kmr730t();
    config.trayOpen = true;
    AtapiDevice& d = Open(config);
    EXPECT_TRUE(d.NoMedium());
    EXPECT_EQ(d.LastCommandRecord().ascq, 0x02);
    EXPECT_TRUE(d.TrayOpen());
    EXPECT_TRUE(d.LoadTray());
    EXPECT_FALSE(d.TrayOpen());
    // The disc spins up, the drive reports the medium change, then it is ready.
    EXPECT_TRUE(d.WaitReady(120));
    EXPECT_FALSE(d.NoMedium());
}

// --- Unit attentions --------------------------------------------------------------------------

TEST_F(CommandsTest, ClearUnitAttentionClearsAFewAndGivesUpOnAFlood) {
    AtapiDevice& d = Open();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 3, sim::sense::kPowerOnReset));
    d.ClearUnitAttention();
    EXPECT_EQ(CountSent(0x00), 4u);
    EXPECT_EQ(d.LastCommandRecord().outcome, kOutcomeGood);

    // Another answer ends it too.
    drive().ClearFaults();
    drive().ClearLog();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 2, sim::sense::kMediumChanged));
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 3, 5, sim::sense::kNoMediumTrayClosed));
    d.ClearUnitAttention();
    EXPECT_EQ(CountSent(0x00), 3u);

    drive().ClearFaults();
    drive().ClearLog();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 0, sim::sense::kPowerOnReset));
    d.ClearUnitAttention();
    EXPECT_EQ(CountSent(0x00), static_cast<std::size_t>(AtapiDevice::kMaxUnitAttentions));
    EXPECT_TRUE(d.SenseKeyIs(6));
}

}  // namespace
}  // namespace quiver
