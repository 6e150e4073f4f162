// The emulated drive: standard commands, tray and unit attentions, the download buffer, flash
// profiles, programming, injected faults, the bus model and the command log.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "formats/firmware_image.h"
#include "formats/flash_profile_format.h"
#include "sim/drive.h"

namespace {

using sim::Completion;
using sim::DataDir;
using sim::Sense;
namespace sense = sim::sense;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::uint32_t kBlock = sim::kImageBlock;

// The drive's default flash chip C2 B6 00 03 is served by placeholder profile 10 (830 bytes).
const std::array<std::uint8_t, 4> kDefaultId{0xC2, 0xB6, 0x00, 0x03};

std::vector<std::uint8_t> Cdb(std::initializer_list<std::uint8_t> bytes) {
    std::vector<std::uint8_t> cdb(bytes);
    cdb.resize(12, 0);
    return cdb;
}

std::vector<std::uint8_t> WriteBufferCdb(std::uint32_t offset, std::uint32_t length,
                                         std::uint8_t control) {
    return Cdb({0x3B, 0x05, 0x01, static_cast<std::uint8_t>(offset >> 16),
                static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
                static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length), control});
}

std::vector<std::uint8_t> ReadBufferCdb(std::uint32_t offset, std::uint32_t length,
                                        std::uint8_t mode = 1) {
    return Cdb({0x3C, mode, 0x01, static_cast<std::uint8_t>(offset >> 16),
                static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
                static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length)});
}

const std::vector<std::uint8_t> kTur = Cdb({0x00});
const std::vector<std::uint8_t> kEject = Cdb({0x1B, 0, 0, 0, 0x02});
const std::vector<std::uint8_t> kLoad = Cdb({0x1B, 0, 0, 0, 0x03});
const std::vector<std::uint8_t> kStop = Cdb({0x1B});
const std::vector<std::uint8_t> kMediaEvent = Cdb({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 0x08});

// Header (identification and, for the 0x7F form, the size) followed by the profile.
std::vector<std::uint8_t> WithHeader(const std::array<std::uint8_t, 4>& id,
                                     const std::vector<std::uint8_t>& profile, bool withSize) {
    std::vector<std::uint8_t> out(id.begin(), id.end());
    if (withSize) {
        out.push_back(static_cast<std::uint8_t>(profile.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(profile.size()));
    }
    out.insert(out.end(), profile.begin(), profile.end());
    return out;
}

class DriveTest : public ::testing::Test {
  protected:
    DriveTest() { Make({}); }

    void Make(sim::DriveConfig config) {
        drive_.reset();
        drive_ = std::make_unique<sim::Drive>(clock_, std::move(config));
    }

    sim::Drive& drive() { return *drive_; }

    sim::CommandResult Run(const std::vector<std::uint8_t>& cdb, DataDir dir = DataDir::None,
                           std::uint8_t* data = nullptr, std::uint32_t length = 0) {
        return drive_->Execute(cdb.data(), cdb.size(), dir, data, length);
    }
    sim::CommandResult In(const std::vector<std::uint8_t>& cdb, std::vector<std::uint8_t>& out) {
        return Run(cdb, DataDir::In, out.data(), static_cast<std::uint32_t>(out.size()));
    }
    sim::CommandResult Out(const std::vector<std::uint8_t>& cdb, std::vector<std::uint8_t> data) {
        return Run(cdb, DataDir::Out, data.data(), static_cast<std::uint32_t>(data.size()));
    }

    // The sense of a command, or none when it completed GOOD.
    Sense SenseOf(const std::vector<std::uint8_t>& cdb) { return Run(cdb).sense; }

    // Reports the pending power-on attention and waits until the drive is ready.
    void Settle() {
        for (int i = 0; i < 100; ++i) {
            const Sense s = SenseOf(kTur);
            if (s.key != 6 && s != sense::kBecomingReady) {
                return;
            }
            clock_.SleepNanos(kSecond / 2);
        }
        FAIL() << "drive never settled";
    }

    sim::CommandResult SendProfile(const std::vector<std::uint8_t>& data, bool sevenF = true) {
        const auto length = static_cast<std::uint32_t>(data.size());
        return Out(sevenF ? WriteBufferCdb(0, length, 0x7F) : WriteBufferCdb(0x080000, length, 0),
                   data);
    }
    sim::CommandResult SendDefaultProfile() {
        return SendProfile(WithHeader(kDefaultId, DefaultProfile(), true));
    }
    static std::vector<std::uint8_t> DefaultProfile() {
        return sim::MakePlaceholderProfile(10, 830, {kDefaultId}, 0);
    }

    // Writes the image block by block from offset 0 (one image attempt).
    void SendImage(const std::vector<std::uint8_t>& image) {
        for (std::uint32_t at = 0; at < image.size(); at += kBlock) {
            std::vector<std::uint8_t> block(image.begin() + at, image.begin() + at + kBlock);
            ASSERT_EQ(Out(WriteBufferCdb(at, kBlock, 0), block).completion, Completion::Good);
        }
    }

    sim::Clock clock_;
    std::unique_ptr<sim::Drive> drive_;
};

class DriveInquiry : public DriveTest {};
class DriveReadiness : public DriveTest {};
class DriveAttention : public DriveTest {};
class DriveEvents : public DriveTest {};
class DriveTray : public DriveTest {};
class DriveFlashId : public DriveTest {};
class DriveCommandBlocks : public DriveTest {};
class DriveBuffer : public DriveTest {};
class DriveProfile : public DriveTest {};
class DriveProgram : public DriveTest {};
class DriveFault : public DriveTest {};
class DriveBus : public DriveTest {};
class DriveThreads : public DriveTest {};

// ---- INQUIRY -------------------------------------------------------------------------------

TEST_F(DriveInquiry, StandardLayout) {
    std::vector<std::uint8_t> reply(96, 0xEE);
    const auto r = In(Cdb({0x12, 0, 0, 0, 96}), reply);
    ASSERT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(r.transferred, 96u);
    EXPECT_EQ(reply[0], 0x05);
    EXPECT_EQ(reply[1], 0x80);
    EXPECT_EQ(reply[2], 0x00);
    EXPECT_EQ(reply[3], 0x21);
    EXPECT_EQ(reply[4], 91);
    EXPECT_EQ(std::string(reply.begin() + 8, reply.begin() + 16), "Korvane ");
    EXPECT_EQ(std::string(reply.begin() + 16, reply.begin() + 32), "DVDRW KMR-730T  ");
    EXPECT_EQ(std::string(reply.begin() + 32, reply.begin() + 36), "QM01");
    EXPECT_EQ(std::string(reply.begin() + 36, reply.begin() + 52), "2004/01/09 KV01 ");
    for (std::size_t i = 52; i < 96; ++i) {
        EXPECT_EQ(reply[i], 0) << i;
    }
}

TEST_F(DriveInquiry, CutToAllocationAndCarrier) {
    std::vector<std::uint8_t> reply(96, 0xEE);
    auto r = In(Cdb({0x12, 0, 0, 0, 36}), reply);
    EXPECT_EQ(r.transferred, 36u);
    EXPECT_EQ(reply[35], '1');
    EXPECT_EQ(reply[36], 0xEE);  // untouched past the allocation length

    std::vector<std::uint8_t> small(10, 0xEE);
    r = In(Cdb({0x12, 0, 0, 0, 96}), small);
    EXPECT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(r.transferred, 10u);

    r = Run(Cdb({0x12, 0, 0, 0, 0}), DataDir::In, reply.data(), 96);
    EXPECT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(r.transferred, 0u);
}

TEST_F(DriveInquiry, VitalProductPagesAndInvalidFields) {
    std::vector<std::uint8_t> reply(64, 0);
    ASSERT_EQ(In(Cdb({0x12, 0x01, 0x00, 0, 64}), reply).transferred, 6u);
    EXPECT_EQ(std::vector<std::uint8_t>(reply.begin(), reply.begin() + 6),
              (std::vector<std::uint8_t>{0x05, 0x00, 0x00, 0x02, 0x00, 0x80}));

    const auto r = In(Cdb({0x12, 0x01, 0x80, 0, 64}), reply);
    ASSERT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(reply[1], 0x80);
    EXPECT_EQ(std::string(reply.begin() + 4, reply.begin() + 4 + reply[3]), "KV730T000001");

    EXPECT_EQ(In(Cdb({0x12, 0x01, 0x83, 0, 64}), reply).sense, sense::kInvalidFieldInCdb);
    EXPECT_EQ(In(Cdb({0x12, 0x00, 0x80, 0, 64}), reply).sense, sense::kInvalidFieldInCdb);
    EXPECT_EQ(In(Cdb({0x12, 0x02, 0x00, 0, 64}), reply).sense, sense::kInvalidFieldInCdb);
}

TEST_F(DriveInquiry, WithoutASerialNumberThereIsNoSerialNumberPage) {
    sim::DriveConfig c;
    c.serialNumber = "";
    Make(c);
    std::vector<std::uint8_t> reply(64, 0);
    ASSERT_EQ(In(Cdb({0x12, 0x01, 0x00, 0, 64}), reply).transferred, 5u);
    EXPECT_EQ(reply[3], 1);  // page 0 lists itself only
    EXPECT_EQ(In(Cdb({0x12, 0x01, 0x80, 0, 64}), reply).sense, sense::kInvalidFieldInCdb);
}

// ---- Readiness and unit attentions ---------------------------------------------------------

TEST_F(DriveReadiness, PowerOnSequence) {
    sim::DriveConfig c;
    c.powerOnReadySeconds = 5;
    Make(c);
    EXPECT_EQ(SenseOf(kTur), sense::kPowerOnReset);
    EXPECT_EQ(SenseOf(kTur), sense::kBecomingReady);
    clock_.SleepNanos(4 * kSecond);
    EXPECT_EQ(SenseOf(kTur), sense::kBecomingReady);
    clock_.SleepNanos(kSecond);
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayClosed);
}

TEST_F(DriveReadiness, MediumStates) {
    sim::DriveConfig c;
    c.trayOpen = true;
    Make(c);
    Settle();
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayOpen);
    drive().SetMedium(true);  // a disc in the open tray is not in the drive yet
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayOpen);

    EXPECT_EQ(Run(kLoad).completion, Completion::Good);
    EXPECT_FALSE(drive().TrayOpen());
    EXPECT_EQ(SenseOf(kTur), sense::kBecomingReady);
    clock_.SleepNanos(2 * kSecond);
    EXPECT_EQ(SenseOf(kTur), sense::kMediumChanged);
    EXPECT_EQ(Run(kTur).completion, Completion::Good);

    // Stopping the disc does not make it unready: it spins up on demand.
    EXPECT_EQ(Run(kStop).completion, Completion::Good);
    EXPECT_EQ(Run(kTur).completion, Completion::Good);

    // A load with the tray already closed changes nothing.
    EXPECT_EQ(Run(kLoad).completion, Completion::Good);
    EXPECT_EQ(Run(kTur).completion, Completion::Good);
}

TEST_F(DriveAttention, ResetOutranksMediumChange) {
    sim::DriveConfig c;
    c.mediumPresent = true;
    c.trayOpen = true;
    c.loadReadySeconds = 0;
    Make(c);
    Settle();
    ASSERT_EQ(Run(kLoad).completion, Completion::Good);
    EXPECT_EQ(Run(Cdb({0x12, 0, 0, 0, 0})).completion, Completion::Good);  // raises 6/28/00
    drive().PowerCycle();
    EXPECT_EQ(SenseOf(kTur), sense::kPowerOnReset);  // replaced the medium change
    EXPECT_EQ(Run(kTur).completion, Completion::Good);

    // A pending reset is not replaced by a medium change.
    drive().PowerCycle();
    ASSERT_EQ(Run(Cdb({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8})).completion, Completion::Good);
    drive().SetMedium(false);
    drive().SetMedium(true);
    EXPECT_EQ(SenseOf(kTur), sense::kPowerOnReset);
    EXPECT_EQ(Run(kTur).completion, Completion::Good);
}

TEST_F(DriveAttention, ExemptCommandsAndRequestSense) {
    std::vector<std::uint8_t> reply(18, 0xEE);
    // INQUIRY, GET EVENT STATUS, GET CONFIGURATION and REPORT LUNS neither fail nor clear it.
    EXPECT_EQ(In(Cdb({0x12, 0, 0, 0, 18}), reply).completion, Completion::Good);
    EXPECT_EQ(In(Cdb({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8}), reply).completion, Completion::Good);
    EXPECT_EQ(In(Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 8}), reply).completion, Completion::Good);
    std::vector<std::uint8_t> luns(16);
    EXPECT_EQ(In(Cdb({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16}), luns).completion, Completion::Good);
    // Other commands report it, whatever they are.
    EXPECT_EQ(SenseOf(Cdb({0x1E, 0, 0, 0, 1})), sense::kPowerOnReset);
    EXPECT_FALSE(drive().TrayOpen());

    drive().PowerCycle();
    ASSERT_EQ(In(Cdb({0x03, 0, 0, 0, 18}), reply).transferred, 18u);
    EXPECT_EQ(reply[0], 0x70);
    EXPECT_EQ(reply[2], 6);
    EXPECT_EQ(reply[12], 0x29);
    ASSERT_EQ(In(Cdb({0x03, 0, 0, 0, 18}), reply).transferred, 18u);
    EXPECT_EQ(reply[2], 0);  // reported once
    EXPECT_EQ(reply[12], 0);
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayClosed);
}

// ---- GET EVENT STATUS NOTIFICATION ---------------------------------------------------------

TEST_F(DriveEvents, MediaStatusBytes) {
    sim::DriveConfig c;
    c.mediumPresent = true;
    Make(c);
    Settle();
    std::vector<std::uint8_t> reply(8, 0xEE);
    ASSERT_EQ(In(kMediaEvent, reply).transferred, 8u);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x00, 0x06, 0x04, 0x10, 0, 0x02, 0, 0}));

    ASSERT_EQ(Run(kEject).completion, Completion::Good);
    ASSERT_EQ(In(kMediaEvent, reply).transferred, 8u);
    EXPECT_EQ(reply[4], 3);  // media removal, once
    EXPECT_EQ(reply[5], 0x01);
    ASSERT_EQ(In(kMediaEvent, reply).transferred, 8u);
    EXPECT_EQ(reply[4], 0);

    ASSERT_EQ(Run(kLoad).completion, Completion::Good);
    ASSERT_EQ(In(kMediaEvent, reply).transferred, 8u);
    EXPECT_EQ(reply[4], 2);  // new media
    EXPECT_EQ(reply[5], 0x02);
    ASSERT_EQ(In(kMediaEvent, reply).transferred, 8u);
    EXPECT_EQ(reply[4], 0);
}

TEST_F(DriveEvents, PolledOnlyAndOtherClasses) {
    std::vector<std::uint8_t> reply(8, 0xEE);
    EXPECT_EQ(In(Cdb({0x4A, 0x00, 0, 0, 0x10, 0, 0, 0, 8}), reply).sense,
              sense::kInvalidFieldInCdb);

    const auto r = In(Cdb({0x4A, 0x01, 0, 0, 0x04, 0, 0, 0, 8}), reply);
    ASSERT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(r.transferred, 4u);
    EXPECT_EQ(reply[2], 0x80);
    EXPECT_EQ(reply[3], 0x10);
}

TEST_F(DriveEvents, EventSurvivesReplyCutBeforeIt) {
    sim::DriveConfig c;
    c.mediumPresent = true;
    Make(c);
    Settle();
    ASSERT_EQ(Run(kEject).completion, Completion::Good);
    std::vector<std::uint8_t> reply(8, 0);
    EXPECT_EQ(In(Cdb({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 4}), reply).transferred, 4u);
    ASSERT_EQ(In(kMediaEvent, reply).transferred, 8u);
    EXPECT_EQ(reply[4], 3);
}

// ---- Tray ----------------------------------------------------------------------------------

TEST_F(DriveTray, EjectRefusedWhileLocked) {
    sim::DriveConfig c;
    c.mediumPresent = true;
    c.lockedByOtherProgram = true;
    Make(c);
    Settle();
    EXPECT_EQ(SenseOf(kEject), sense::kRemovalPrevented);
    EXPECT_FALSE(drive().TrayOpen());
    drive().SetLockedByOtherProgram(false);

    ASSERT_EQ(Run(Cdb({0x1E, 0, 0, 0, 0x01})).completion, Completion::Good);  // prevent
    EXPECT_EQ(SenseOf(kEject), sense::kRemovalPrevented);
    ASSERT_EQ(Run(Cdb({0x1E, 0, 0, 0, 0x00})).completion, Completion::Good);  // allow
    EXPECT_EQ(Run(kEject).completion, Completion::Good);
    EXPECT_TRUE(drive().TrayOpen());

    // No medium: the other key.
    drive().SetMedium(false);
    ASSERT_EQ(Run(kLoad).completion, Completion::Good);
    drive().SetLockedByOtherProgram(true);
    EXPECT_EQ(SenseOf(kEject), sense::kRemovalPreventedNoMedium);
}

TEST_F(DriveTray, StartAndPowerCondition) {
    Settle();
    EXPECT_EQ(SenseOf(Cdb({0x1B, 0, 0, 0, 0x01})), sense::kNoMediumTrayClosed);
    // A power condition makes LoEj meaningless: the tray stays closed.
    EXPECT_EQ(Run(Cdb({0x1B, 0, 0, 0, 0x22})).completion, Completion::Good);
    EXPECT_FALSE(drive().TrayOpen());
    EXPECT_EQ(Run(kEject).completion, Completion::Good);
    EXPECT_EQ(SenseOf(Cdb({0x1B, 0, 0, 0, 0x01})), sense::kNoMediumTrayOpen);
}

// ---- Flash identification ------------------------------------------------------------------

TEST_F(DriveFlashId, Replies) {
    Settle();
    std::vector<std::uint8_t> reply(128, 0xEE);
    const auto r = In(Cdb({0xDF, 0x11}), reply);
    ASSERT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(r.transferred, 128u);
    EXPECT_EQ(std::vector<std::uint8_t>(reply.begin(), reply.begin() + 4),
              (std::vector<std::uint8_t>{0xC2, 0xB6, 0x00, 0x03}));
    EXPECT_EQ(std::count(reply.begin() + 4, reply.end(), 0), 124);
    EXPECT_EQ(In(Cdb({0xDF, 0x12}), reply).sense, sense::kInvalidFieldInCdb);

    sim::DriveConfig other;
    other.model = sim::DriveModel::Other;
    Make(other);
    Settle();
    EXPECT_EQ(In(Cdb({0xDF, 0x11}), reply).sense, sense::kInvalidOpcode);
    other.otherFlashIdReply = sim::FlashIdReply::Zeros;
    Make(other);
    Settle();
    std::fill(reply.begin(), reply.end(), 0xEE);
    ASSERT_EQ(In(Cdb({0xDF, 0x11}), reply).transferred, 128u);
    EXPECT_EQ(std::count(reply.begin(), reply.end(), 0), 128);
    // Buffer commands are not this model's.
    EXPECT_EQ(In(ReadBufferCdb(0, 128), reply).sense, sense::kInvalidFieldInCdb);
    EXPECT_EQ(Out(WriteBufferCdb(0, 4, 0), {1, 2, 3, 4}).sense, sense::kInvalidFieldInCdb);
}

TEST_F(DriveCommandBlocks, UnknownAndShort) {
    Settle();
    EXPECT_EQ(SenseOf(Cdb({0x28})), sense::kInvalidOpcode);
    const std::uint8_t shortWrite[] = {0x3B, 0x05, 0x01, 0x00};
    EXPECT_EQ(drive().Execute(shortWrite, sizeof shortWrite, DataDir::None, nullptr, 0).sense,
              sense::kInvalidFieldInCdb);
    EXPECT_EQ(drive().Execute(nullptr, 0, DataDir::None, nullptr, 0).sense, sense::kInvalidOpcode);
}

// ---- Download buffer -----------------------------------------------------------------------

TEST_F(DriveBuffer, RoundTripAtOffsets) {
    Settle();
    std::vector<std::uint8_t> block(kBlock);
    for (std::uint32_t i = 0; i < kBlock; ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    const std::uint32_t last = (2u << 20) - kBlock;
    for (std::uint32_t offset : {0u, 5u * kBlock, last}) {
        const auto w = Out(WriteBufferCdb(offset, kBlock, 0), block);
        ASSERT_EQ(w.completion, Completion::Good) << offset;
        EXPECT_EQ(w.transferred, kBlock);
        std::vector<std::uint8_t> back(kBlock);
        const auto r = In(ReadBufferCdb(offset, kBlock), back);
        ASSERT_EQ(r.completion, Completion::Good) << offset;
        EXPECT_EQ(r.transferred, kBlock);
        EXPECT_EQ(back, block) << offset;
    }
    EXPECT_EQ(drive().BufferBytes(last, kBlock), block);
    EXPECT_EQ(drive().BufferBytes(2u << 20, 4).size(), 0u);  // past the end: nothing

    std::vector<std::uint8_t> back(kBlock);
    EXPECT_EQ(In(ReadBufferCdb(last + 1, kBlock), back).sense, sense::kInvalidFieldInCdb);
    EXPECT_EQ(Out(WriteBufferCdb(last + 1, kBlock, 0), block).sense, sense::kInvalidFieldInCdb);
}

TEST_F(DriveBuffer, DataPhaseMustCoverTheLength) {
    Settle();
    std::vector<std::uint8_t> data(100, 0x5A);
    // The carrier offers fewer bytes than announced.
    EXPECT_EQ(Run(WriteBufferCdb(0, 200, 0), DataDir::Out, data.data(), 100).sense,
              sense::kParameterListLengthError);
    // No data-out phase at all.
    EXPECT_EQ(Run(WriteBufferCdb(0, 100, 0), DataDir::In, data.data(), 100).sense,
              sense::kParameterListLengthError);
    EXPECT_EQ(Run(WriteBufferCdb(0, 100, 0), DataDir::Out, nullptr, 100).sense,
              sense::kParameterListLengthError);
    EXPECT_EQ(drive().BufferBytes(0, 1)[0], 0);
    // A longer carrier is fine: only the announced bytes are taken.
    const auto r = Run(WriteBufferCdb(0, 50, 0), DataDir::Out, data.data(), 100);
    EXPECT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(r.transferred, 50u);
    EXPECT_EQ(drive().BufferBytes(49, 2), (std::vector<std::uint8_t>{0x5A, 0}));
}

TEST_F(DriveBuffer, ModesAndDescriptor) {
    Settle();
    std::vector<std::uint8_t> reply(4, 0xEE);
    ASSERT_EQ(In(ReadBufferCdb(0, 4, 3), reply).transferred, 4u);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x00, 0x20, 0x00, 0x00}));  // 2 MiB
    EXPECT_EQ(In(ReadBufferCdb(0, 4, 2), reply).sense, sense::kInvalidFieldInCdb);
    auto cdb = ReadBufferCdb(0, 4);
    cdb[2] = 0;  // buffer ID 0
    EXPECT_EQ(In(cdb, reply).sense, sense::kInvalidFieldInCdb);

    auto wb = WriteBufferCdb(0, 4, 0);
    wb[1] = 0x07;
    EXPECT_EQ(Out(wb, {1, 2, 3, 4}).sense, sense::kInvalidFieldInCdb);
    EXPECT_EQ(Out(WriteBufferCdb(0, 4, 0x40), {1, 2, 3, 4}).sense, sense::kInvalidFieldInCdb);
}

// ---- Flash profiles ------------------------------------------------------------------------

TEST_F(DriveProfile, AcceptedForOwnChip) {
    Settle();
    const auto r = SendDefaultProfile();
    ASSERT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(r.transferred, 836u);
    EXPECT_EQ(drive().LoadedProfile(), 10);
    EXPECT_EQ(drive().BufferBytes(0, 8), std::vector<std::uint8_t>(8, 0));  // not in the buffer
}

TEST_F(DriveProfile, ShortFormAtItsOffset) {
    sim::DriveConfig c;
    c.flashId = {0xDA, 0xC8, 0x00, 0x00};
    Make(c);
    Settle();
    const auto profile = sim::MakePlaceholderProfile(0, 314, {c.flashId}, 0);
    ASSERT_EQ(SendProfile(WithHeader(c.flashId, profile, false), false).completion,
              Completion::Good);
    EXPECT_EQ(drive().LoadedProfile(), 0);
    EXPECT_EQ(drive().BufferBytes(0x080000, 8), std::vector<std::uint8_t>(8, 0));

    // A whole block at the same offset is image data.
    std::vector<std::uint8_t> block(kBlock, 0x33);
    ASSERT_EQ(Out(WriteBufferCdb(0x080000, kBlock, 0), block).completion, Completion::Good);
    EXPECT_EQ(drive().BufferBytes(0x080000, kBlock), block);
    EXPECT_EQ(drive().LoadedProfile(), 0);
}

TEST_F(DriveProfile, WithHeaderCountedInside) {
    // 1280-byte profiles whose last 6 bytes are zero go out at their own size, header
    // included, so the zero tail is cut.
    sim::DriveConfig c;
    c.flashId = {0xBF, 0xD6, 0x00, 0x01};
    Make(c);
    Settle();
    const auto profile = sim::MakePlaceholderProfile(
        2, 1280, {{0xBF, 0xD6, 0x00, 0x01}, {0xBF, 0xB6, 0x00, 0x01}}, 6);
    auto data = WithHeader(c.flashId, profile, true);
    data.resize(1280);
    ASSERT_EQ(SendProfile(data).completion, Completion::Good);
    EXPECT_EQ(drive().LoadedProfile(), 2);

    // Cut by more than the zero tail: refused, and the profile loaded before is gone.
    data.resize(1279);
    EXPECT_EQ(SendProfile(data).sense, sense::kInvalidFieldInParameterList);
    EXPECT_FALSE(drive().LoadedProfile().has_value());
}

TEST_F(DriveProfile, Rejected) {
    Settle();
    const auto good = WithHeader(kDefaultId, DefaultProfile(), true);

    // Header names another chip.
    auto wrongHeader = good;
    wrongHeader[1] = 0xB5;
    EXPECT_EQ(SendProfile(wrongHeader).sense, sense::kInvalidFieldInParameterList);

    // The profile of another chip (the one next to ours in the table).
    const std::array<std::uint8_t, 4> otherId{0xDA, 0x46, 0x00, 0x03};
    const auto otherProfile = sim::MakePlaceholderProfile(11, 742, {otherId}, 0);
    EXPECT_EQ(SendProfile(WithHeader(kDefaultId, otherProfile, true)).sense,
              sense::kInvalidFieldInParameterList);

    // Cut short, shifted by one byte, or announcing a size that is not its own.
    auto cut = good;
    cut.resize(good.size() - 2);
    EXPECT_EQ(SendProfile(cut).sense, sense::kInvalidFieldInParameterList);
    auto shifted = good;
    shifted.insert(shifted.begin() + 6, 0);
    EXPECT_EQ(SendProfile(shifted).sense, sense::kInvalidFieldInParameterList);
    auto wrongSize = good;
    wrongSize[5] ^= 0x10;
    EXPECT_EQ(SendProfile(wrongSize).sense, sense::kInvalidFieldInParameterList);

    // Too short to hold a header, or placed anywhere but offset 0.
    EXPECT_EQ(SendProfile({0xC2, 0xB6}).sense, sense::kInvalidFieldInParameterList);
    EXPECT_EQ(Out(WriteBufferCdb(16, static_cast<std::uint32_t>(good.size()), 0x7F), good).sense,
              sense::kInvalidFieldInCdb);

    EXPECT_FALSE(drive().LoadedProfile().has_value());
    // An even-sized profile gets no pad byte.
    auto padded = good;
    padded.push_back(0);
    EXPECT_EQ(SendProfile(padded).sense, sense::kInvalidFieldInParameterList);
    EXPECT_EQ(SendProfile(good).completion, Completion::Good);
}

// ---- Programming ---------------------------------------------------------------------------

TEST_F(DriveProgram, RequiresProfile) {
    Settle();
    SendImage(sim::MakeFirmwareImage("QX10", 4 * kBlock));
    EXPECT_EQ(SenseOf(WriteBufferCdb(0, 0, 0x80)), sense::kCommandSequenceError);
    EXPECT_EQ(drive().ProgramCount(), 0u);
    EXPECT_EQ(drive().Revision(), "QM01");

    ASSERT_EQ(SendDefaultProfile().completion, Completion::Good);
    ASSERT_EQ(Run(WriteBufferCdb(0, 0, 0x80)).completion, Completion::Good);
    EXPECT_FALSE(drive().LastProgramWithBootCode());
    EXPECT_EQ(drive().Revision(), "QX10");
}

TEST_F(DriveProgram, RevisionAfterProgramTakesThePlaceOfTheImagesRevision) {
    sim::DriveConfig c;
    c.revisionAfterProgram = "QX77";
    Make(c);
    Settle();
    ASSERT_EQ(SendDefaultProfile().completion, Completion::Good);
    SendImage(sim::MakeFirmwareImage("QM02", 4 * kBlock));
    ASSERT_EQ(Run(WriteBufferCdb(0, 0, 0x80)).completion, Completion::Good);
    EXPECT_EQ(drive().ProgramCount(), 1u);
    EXPECT_EQ(drive().Revision(), "QX77");
}

TEST_F(DriveProgram, RefusesBadImage) {
    Settle();
    ASSERT_EQ(SendDefaultProfile().completion, Completion::Good);
    auto image = sim::MakeFirmwareImage("QM02", 4 * kBlock);
    image[3 * kBlock + 100] ^= 0x01;
    SendImage(image);
    const std::int64_t before = clock_.NowNanos();
    EXPECT_EQ(SenseOf(WriteBufferCdb(0, 0, 0x80)), sense::kInvalidFieldInParameterList);
    EXPECT_LT(clock_.NowNanos() - before, kSecond);  // refused at once
    EXPECT_EQ(drive().ProgramCount(), 0u);
    EXPECT_TRUE(drive().FlashContents().empty());
    EXPECT_EQ(drive().Revision(), "QM01");
    EXPECT_EQ(drive().LoadedProfile(), 10);  // kept for another try

    // The program command has no data phase.
    EXPECT_EQ(SenseOf(WriteBufferCdb(0, 16, 0x80)), sense::kInvalidFieldInCdb);
}

TEST_F(DriveProgram, WritesFlashAndResets) {
    sim::DriveConfig c;
    c.mediumPresent = true;
    Make(c);
    Settle();
    ASSERT_EQ(SendDefaultProfile().completion, Completion::Good);
    const auto image = sim::MakeFirmwareImage("QM02", 4 * kBlock, 7);
    SendImage(image);

    const std::int64_t before = clock_.NowNanos();
    ASSERT_EQ(Run(WriteBufferCdb(0, 0, 0xA0)).completion, Completion::Good);
    EXPECT_EQ(clock_.NowNanos() - before, 6 * kSecond);
    EXPECT_EQ(drive().ProgramCount(), 1u);
    EXPECT_TRUE(drive().LastProgramWithBootCode());
    EXPECT_EQ(drive().FlashContents(), image);
    EXPECT_FALSE(drive().LoadedProfile().has_value());

    // The new revision at once; then the reset: attention, becoming ready, ready.
    std::vector<std::uint8_t> reply(96);
    ASSERT_EQ(In(Cdb({0x12, 0, 0, 0, 96}), reply).completion, Completion::Good);
    EXPECT_EQ(std::string(reply.begin() + 32, reply.begin() + 36), "QM02");
    EXPECT_EQ(SenseOf(kTur), sense::kPowerOnReset);
    EXPECT_EQ(SenseOf(kTur), sense::kBecomingReady);
    clock_.SleepNanos(3 * kSecond);
    EXPECT_EQ(Run(kTur).completion, Completion::Good);

    // The reset lost the buffer and the profile: programming again is refused.
    EXPECT_EQ(SenseOf(WriteBufferCdb(0, 0, 0x80)), sense::kCommandSequenceError);
    ASSERT_EQ(SendDefaultProfile().completion, Completion::Good);
    EXPECT_EQ(SenseOf(WriteBufferCdb(0, 0, 0x80)), sense::kInvalidFieldInParameterList);
    EXPECT_EQ(drive().ProgramCount(), 1u);
}

// ---- Faults --------------------------------------------------------------------------------

TEST_F(DriveFault, TransportFailureLeavesDriveAlone) {
    sim::DriveConfig c;
    c.mediumPresent = true;
    Make(c);
    Settle();
    sim::Fault f;
    f.kind = sim::Fault::Kind::TransportFailure;
    f.opcode = 0x1B;
    drive().AddFault(f);
    const auto r = Run(kEject);
    EXPECT_EQ(r.completion, Completion::TransportFailure);
    EXPECT_FALSE(r.vanished);
    EXPECT_EQ(r.sense, sense::kNone);
    EXPECT_FALSE(drive().TrayOpen());
    EXPECT_EQ(Run(kEject).completion, Completion::Good);  // count 1: once only
    EXPECT_TRUE(drive().TrayOpen());
}

TEST_F(DriveFault, SenseWindowCountsMatchesOnly) {
    Settle();
    sim::Fault f;
    f.kind = sim::Fault::Kind::SenseData;
    f.opcode = 0x00;
    f.first = 2;
    f.count = 2;
    f.sense = {3, 0x11, 0x00};
    drive().AddFault(f);
    std::vector<Sense> seen;
    for (int i = 0; i < 5; ++i) {
        Run(Cdb({0x12, 0, 0, 0, 0}));  // not a match: does not count
        seen.push_back(SenseOf(kTur));
    }
    const Sense ok = sense::kNoMediumTrayClosed;
    EXPECT_EQ(seen, (std::vector<Sense>{ok, f.sense, f.sense, ok, ok}));

    drive().ClearFaults();
    f.first = 1;
    f.count = 0;  // forever
    drive().AddFault(f);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(SenseOf(kTur), f.sense);
    }
}

TEST_F(DriveFault, DelayThenNormal) {
    Settle();
    sim::Fault f;
    f.kind = sim::Fault::Kind::Delay;
    f.seconds = 40;
    drive().AddFault(f);
    const std::int64_t before = clock_.NowNanos();
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayClosed);
    EXPECT_EQ(clock_.NowNanos() - before, 40 * kSecond);
}

TEST_F(DriveFault, VanishIsForGood) {
    Settle();
    sim::Fault f;
    f.kind = sim::Fault::Kind::Vanish;
    f.opcode = 0x3B;
    drive().AddFault(f);
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayClosed);
    std::vector<std::uint8_t> data(16, 1);
    const auto r = Out(WriteBufferCdb(0, 16, 0), data);
    EXPECT_EQ(r.completion, Completion::TransportFailure);
    EXPECT_TRUE(r.vanished);
    EXPECT_TRUE(drive().Vanished());
    EXPECT_EQ(drive().BufferBytes(0, 1)[0], 0);
    std::vector<std::uint8_t> reply(96);
    EXPECT_TRUE(In(Cdb({0x12, 0, 0, 0, 96}), reply).vanished);
    EXPECT_TRUE(Run(kTur).vanished);
}

TEST_F(DriveFault, ReadBackDiffersInOneAttemptAndBlock) {
    Settle();
    sim::Fault f;
    f.kind = sim::Fault::Kind::ReadBackDiffers;
    f.block = 2;
    f.attempt = 2;
    drive().AddFault(f);
    const auto image = sim::MakeFirmwareImage("QM02", 4 * kBlock);
    auto readBlock = [&](std::uint32_t b) {
        std::vector<std::uint8_t> back(kBlock);
        EXPECT_EQ(In(ReadBufferCdb(b * kBlock, kBlock), back).completion, Completion::Good);
        return back;
    };
    auto imageBlock = [&](std::uint32_t b) {
        return std::vector<std::uint8_t>(image.begin() + b * kBlock,
                                         image.begin() + (b + 1) * kBlock);
    };

    SendImage(image);  // attempt 1
    EXPECT_EQ(readBlock(2), imageBlock(2));
    SendImage(image);  // attempt 2
    EXPECT_EQ(readBlock(1), imageBlock(1));
    const auto bad = readBlock(2);
    int differing = 0;
    for (std::uint32_t i = 0; i < kBlock; ++i) {
        differing += bad[i] != image[2 * kBlock + i];
    }
    EXPECT_EQ(differing, 1);
    EXPECT_EQ(drive().BufferBytes(2 * kBlock, kBlock), imageBlock(2));  // buffer intact
    EXPECT_EQ(readBlock(2), imageBlock(2));                             // count 1
    SendImage(image);                                                   // attempt 3
    EXPECT_EQ(readBlock(2), imageBlock(2));

    // Another byte of the block: only a read that returns it matches.
    f.block = 3;
    f.attempt = 0;
    f.byte = kBlock - 1;
    drive().AddFault(f);
    std::vector<std::uint8_t> half(kBlock / 2);
    ASSERT_EQ(In(ReadBufferCdb(3 * kBlock + kBlock / 2, kBlock / 2), half).transferred, kBlock / 2);
    EXPECT_EQ(half.back(), static_cast<std::uint8_t>(~image.back()));
    EXPECT_EQ(readBlock(3), imageBlock(3));  // count 1: the half read was the match
}

TEST_F(DriveFault, ShortTransferMovesOnlyItsBytesOfDataCommands) {
    Settle();
    sim::Fault f;
    f.kind = sim::Fault::Kind::ShortTransfer;
    f.bytes = 4096;
    f.count = 2;
    drive().AddFault(f);  // any opcode: commands without data do not count
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayClosed);

    std::vector<std::uint8_t> block(kBlock, 0x5A);
    const auto w = Out(WriteBufferCdb(0, kBlock, 0), block);
    EXPECT_EQ(w.completion, Completion::Good);
    EXPECT_EQ(w.transferred, 4096u);
    EXPECT_EQ(drive().BufferBytes(4095, 2), (std::vector<std::uint8_t>{0x5A, 0}));

    ASSERT_EQ(Out(WriteBufferCdb(0, kBlock, 0), block).transferred, 4096u);
    std::vector<std::uint8_t> back(kBlock, 0xEE);
    const auto r = In(ReadBufferCdb(0, kBlock), back);  // count 2: whole again
    EXPECT_EQ(r.completion, Completion::Good);
    EXPECT_EQ(r.transferred, kBlock);

    f.opcode = 0x3C;
    f.count = 1;
    drive().AddFault(f);
    std::fill(back.begin(), back.end(), 0xEE);
    EXPECT_EQ(In(ReadBufferCdb(0, kBlock), back).transferred, 4096u);
    EXPECT_EQ(back[4095], 0x5A);
    EXPECT_EQ(back[4096], 0xEE);  // what the drive did not return stays as it was

    // Nothing moved, yet the whole length reported; the log keeps what moved.
    f.bytes = 0;
    f.reportsAll = true;
    drive().AddFault(f);
    std::fill(back.begin(), back.end(), 0xEE);
    const auto untouched = In(ReadBufferCdb(0, kBlock), back);
    EXPECT_EQ(untouched.completion, Completion::Good);
    EXPECT_EQ(untouched.transferred, kBlock);
    EXPECT_EQ(back, std::vector<std::uint8_t>(kBlock, 0xEE));
    EXPECT_EQ(drive().Log().back().transferred, 0u);
}

TEST_F(DriveFault, ReplacedFromTheMatchingCommandOnByAFreshDrive) {
    Settle();
    auto other = std::make_shared<sim::Replacement>();
    other->config.revision = "QM10";
    other->config.serialNumber = "KV730T999999";
    sim::Fault vanish;
    vanish.kind = sim::Fault::Kind::Vanish;
    vanish.opcode = 0x00;
    vanish.first = 2;
    other->faults.push_back(vanish);
    sim::Fault f;
    f.kind = sim::Fault::Kind::Replaced;
    f.opcode = 0x12;
    f.first = 2;
    f.by = other;
    drive().AddFault(f);
    std::vector<std::string> seen;
    drive().SetCommandObserver([&](const sim::LoggedCommand& c) { seen.push_back(c.CdbHex()); });

    std::vector<std::uint8_t> reply(96);
    ASSERT_EQ(In(Cdb({0x12, 0, 0, 0, 96}), reply).completion, Completion::Good);
    EXPECT_EQ(std::string(reply.begin() + 32, reply.begin() + 36), "QM01");
    EXPECT_EQ(drive().ReplacedBy(), nullptr);
    ASSERT_EQ(In(Cdb({0x12, 0, 0, 0, 96}), reply).completion, Completion::Good);
    EXPECT_EQ(std::string(reply.begin() + 32, reply.begin() + 36), "QM10");
    ASSERT_NE(drive().ReplacedBy(), nullptr);
    EXPECT_EQ(drive().Revision(), "QM10");
    // A drive just plugged in, with faults of its own.
    EXPECT_EQ(SenseOf(kTur), sense::kPowerOnReset);
    EXPECT_TRUE(Run(kTur).vanished);
    EXPECT_TRUE(drive().Vanished());

    // The replaced drive keeps what it had; the commands since went to the other one, and the
    // observer saw them all.
    EXPECT_EQ(drive().Log().size(), 3u);  // Settle's two TEST UNIT READYs, the first INQUIRY
    EXPECT_EQ(drive().ReplacedBy()->Log().size(), 3u);
    EXPECT_EQ(drive().ReplacedBy()->config().revision, "QM10");
    EXPECT_EQ(seen.size(), 4u);
}

// On a scaled clock the programming of an 8 MiB image takes its whole time and the drive comes
// back with the new revision. The emulator's own work (checking the image) counts toward that
// time rather than on top of it; by how little the command overruns depends on the host, and
// bench/ measures it.
TEST_F(DriveProgram, OnAScaledClockProgrammingTakesItsTime) {
    sim::DriveConfig c;
    c.programSeconds = 1000.0;
    c.bufferBytes = 8u << 20;
    Make(c);
    Settle();
    ASSERT_EQ(SendDefaultProfile().completion, Completion::Good);
    const auto image = sim::MakeFirmwareImage("QM02", 8u << 20);
    SendImage(image);
    clock_.SetScaled(1000.0);
    drive().ClearLog();
    ASSERT_EQ(Run(WriteBufferCdb(0, 0, 0x80)).completion, Completion::Good);
    const auto log = drive().Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_GE(log[0].endNanos - log[0].startNanos, 1000 * kSecond);
    EXPECT_EQ(drive().Revision(), "QM02");
}

// ---- Bus model and log ---------------------------------------------------------------------

TEST_F(DriveBus, TimeAndLog) {
    sim::DriveConfig c;
    c.secondsPerCommand = 0.001;
    c.bytesPerSecond = 1'638'400;  // a block in 10 ms
    Make(c);
    Settle();
    drive().ClearLog();

    const std::int64_t t0 = clock_.NowNanos();
    std::vector<std::uint8_t> block(kBlock, 9);
    ASSERT_EQ(Out(WriteBufferCdb(kBlock, kBlock, 0), block).completion, Completion::Good);
    EXPECT_EQ(clock_.NowNanos() - t0, 11'000'000);
    const std::int64_t t1 = clock_.NowNanos();
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayClosed);
    EXPECT_EQ(clock_.NowNanos() - t1, 1'000'000);

    const auto log = drive().Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].CdbHex(), "3B 05 01 00 40 00 00 40 00 00 00 00");
    EXPECT_EQ(log[0].dir, DataDir::Out);
    EXPECT_EQ(log[0].length, kBlock);
    EXPECT_EQ(log[0].transferred, kBlock);
    EXPECT_EQ(log[0].completion, Completion::Good);
    EXPECT_EQ(log[0].startNanos, t0);
    EXPECT_EQ(log[0].endNanos, t1);
    EXPECT_EQ(log[1].completion, Completion::CheckCondition);
    EXPECT_EQ(log[1].sense, sense::kNoMediumTrayClosed);
    EXPECT_EQ(log[1].cdbLength, 12);
    drive().ClearLog();
    EXPECT_TRUE(drive().Log().empty());
}

// The log tells which bytes crossed the bus: what the drive took of a write, what it returned of
// a read (a changed byte, a cut transfer), nothing for a command without data.
TEST_F(DriveBus, LogDigestsTheBytesTheDataPhaseMoved) {
    Settle();
    sim::Fault differs;
    differs.kind = sim::Fault::Kind::ReadBackDiffers;
    drive().AddFault(differs);
    sim::Fault cut;
    cut.kind = sim::Fault::Kind::ShortTransfer;
    cut.opcode = 0x3C;
    cut.first = 2;
    cut.bytes = 100;
    drive().AddFault(cut);
    drive().ClearLog();

    std::vector<std::uint8_t> block(kBlock);
    for (std::uint32_t i = 0; i < kBlock; ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    std::vector<std::uint8_t> changed(kBlock);
    std::vector<std::uint8_t> shortened(kBlock);
    ASSERT_EQ(Out(WriteBufferCdb(0, kBlock, 0), block).completion, Completion::Good);
    ASSERT_EQ(In(ReadBufferCdb(0, kBlock), changed).completion, Completion::Good);
    ASSERT_EQ(In(ReadBufferCdb(0, kBlock), shortened).completion, Completion::Good);
    EXPECT_EQ(SenseOf(kTur), sense::kNoMediumTrayClosed);

    const auto log = drive().Log();
    ASSERT_EQ(log.size(), 4u);
    const std::uint64_t written = sim::DataDigest(block.data(), block.size());
    EXPECT_EQ(log[0].dataDigest, written);
    EXPECT_NE(log[1].dataDigest, written);
    EXPECT_EQ(log[1].dataDigest, sim::DataDigest(changed.data(), changed.size()));
    EXPECT_EQ(log[2].dataDigest, sim::DataDigest(block.data(), 100));
    EXPECT_EQ(log[3].dataDigest, 0u);
    // Each fault fired once although both matched more commands.
    EXPECT_EQ(drive().FaultFirings(), (std::vector<std::uint32_t>{1, 1}));

    // Strings that differ only in a trailing zero, or in one bit anywhere, differ.
    const std::vector<std::uint8_t> zeros(9, 0);
    EXPECT_NE(sim::DataDigest(zeros.data(), 8), sim::DataDigest(zeros.data(), 9));
    std::vector<std::uint8_t> flipped = block;
    for (std::size_t at : {std::size_t{0}, std::size_t{4097}, block.size() - 1}) {
        flipped[at] ^= 0x10;
        EXPECT_NE(sim::DataDigest(flipped.data(), flipped.size()), written) << at;
        flipped[at] ^= 0x10;
    }
}

TEST_F(DriveThreads, CommandsAndAccessors) {
    Settle();
    ASSERT_EQ(SendDefaultProfile().completion, Completion::Good);
    drive().ClearLog();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            std::vector<std::uint8_t> block(256, static_cast<std::uint8_t>(t));
            for (int i = 0; i < 50; ++i) {
                const auto offset = static_cast<std::uint32_t>(t * 4096);
                auto cdb = WriteBufferCdb(offset + 1, 256, 0);
                drive().Execute(cdb.data(), cdb.size(), DataDir::Out, block.data(), 256);
                EXPECT_EQ(SenseOf(kMediaEvent), sense::kNone);
                (void)drive().Revision();
                (void)drive().LoadedProfile();
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(drive().Log().size(), 4u * 50 * 2);
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(drive().BufferBytes(static_cast<std::uint32_t>(t * 4096 + 1), 256),
                  std::vector<std::uint8_t>(256, static_cast<std::uint8_t>(t)));
    }
}

}  // namespace
