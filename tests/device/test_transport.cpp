#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "drive_rig.h"

namespace quiver {
namespace {

using rig::DriveRig;
using rig::MakeFault;
using Kind = sim::Fault::Kind;

constexpr std::uint8_t kTestUnitReady[12] = {0x00};
constexpr std::uint8_t kStandardInquiry[12] = {0x12, 0, 0, 0, 0x60};

sim::Fault DelayFault(int opcode, double seconds) {
    sim::Fault fault = MakeFault(Kind::Delay, opcode);
    fault.seconds = seconds;
    return fault;
}

// Under the mark a block write that failed without an answer goes out twice; the command that
// programs the flash (with or without the boot code) only once: a drive whose answer was lost
// may be programming already.
void ExpectProgramCommandSentOnce(AtapiDevice& device, sim::Drive& drive) {
    drive.AddFault(MakeFault(Kind::TransportFailure, 0x3B, 1, 0));
    device.SetTransferMark();
    for (std::uint8_t control : {std::uint8_t{0x80}, std::uint8_t{0xA0}}) {
        drive.ClearLog();
        EXPECT_FALSE(device.WriteBuffer(0, 0, control));
        EXPECT_EQ(drive.Log().size(), 1u) << int{control};
        EXPECT_EQ(device.LastCommandRecord().outcome, kOutcomeFailed);
    }
    drive.ClearLog();
    EXPECT_FALSE(device.WriteBuffer(0, 16384, 0));
    EXPECT_EQ(drive.Log().size(), 2u);
}

// --- Pass-through ----------------------------------------------------------------------------

// A KMR-730T on E: at port 1, target 2, LUN 3, selected on the pass-through route of an NT
// system.
class TransportPassThroughTest : public DriveRig {
  protected:
    TransportPassThroughTest() {
        AddOptical('E', rig::Kmr730t(), /*port=*/1, /*target=*/2, /*path=*/0, /*lun=*/3);
        device_ = std::make_unique<AtapiDevice>(true);
        Prepare(*device_);
    }

    const LastCommand& last() const { return device_->LastCommandRecord(); }

    std::unique_ptr<AtapiDevice> device_;
};

TEST_F(TransportPassThroughTest, RequestCarriesTheObjectsSettings) {
    ASSERT_FALSE(device_->UsesAspi());
    device_->SetTimeLimit(77);
    ASSERT_TRUE(device_->Inquiry(0, 0, 0, 96, 0));

    const SCSI_PASS_THROUGH_DIRECT r = os_.LastRequest();
    EXPECT_EQ(r.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(r.PathId, 1);  // the low byte of the adapter number
    EXPECT_EQ(r.TargetId, 2);
    EXPECT_EQ(r.Lun, 0);  // the handle designates the drive
    EXPECT_EQ(r.CdbLength, 12);
    EXPECT_EQ(r.SenseInfoLength, 24);
    EXPECT_EQ(r.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(r.DataTransferLength, 96u);
    EXPECT_EQ(r.TimeOutValue, 77u);
    EXPECT_EQ(r.DataBuffer, device_->ReadBufferData());
    EXPECT_EQ(r.SenseInfoOffset, offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf));
    EXPECT_EQ(std::memcmp(r.Cdb, kStandardInquiry, 12), 0);
    for (std::size_t i = 12; i < sizeof r.Cdb; ++i) {
        EXPECT_EQ(r.Cdb[i], 0) << i;
    }
    EXPECT_EQ(os_.LastInSize(), sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER));
    EXPECT_EQ(os_.LastOutSize(), sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER));

    // Data out comes from the write buffer.
    device_->WriteBuffer(0, 512, 0x00);
    EXPECT_EQ(os_.LastRequest().DataIn, SCSI_IOCTL_DATA_OUT);
    EXPECT_EQ(os_.LastRequest().DataBuffer, device_->WriteBufferData());

    // No data direction: no buffer, but the length still travels.
    ASSERT_TRUE(device_->ExecuteCommand(kTestUnitReady, kNoData, 512));
    EXPECT_EQ(os_.LastRequest().DataIn, SCSI_IOCTL_DATA_UNSPECIFIED);
    EXPECT_EQ(os_.LastRequest().DataBuffer, nullptr);
    EXPECT_EQ(os_.LastRequest().DataTransferLength, 512u);
    const auto log = drive().Log();
    EXPECT_EQ(log.back().dir, sim::DataDir::None);
    EXPECT_EQ(log.back().length, 512u);
}

TEST_F(TransportPassThroughTest, GoodCommandRecordsOutcomeOne) {
    ASSERT_TRUE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(last().outcome, kOutcomeGood);
    EXPECT_EQ(last().senseKey, 0);
    EXPECT_EQ(last().asc, 0);
    EXPECT_EQ(last().transferred, 96u);
    EXPECT_FALSE(last().timedOut);
    EXPECT_GE(last().duration, 0.0);  // net of the timer's own cost: a free command takes 0
    EXPECT_LT(last().duration, 0.1);
    EXPECT_EQ(std::memcmp(last().commandBlock, kStandardInquiry, 12), 0);
    EXPECT_EQ(std::memcmp(device_->ReadBufferData() + 8, "Korvane DVDRW KMR-730T  QM01", 28), 0);
    ASSERT_EQ(drive().Log().size(), 1u);
    EXPECT_EQ(drive().Log()[0].CdbHex(), "12 00 00 00 60 00 00 00 00 00 00 00");
}

TEST_F(TransportPassThroughTest, SenseAnswerIsOutcomeTwoAndNextCommandStartsClean) {
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 1, sim::Sense{5, 0x24, 0x07}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);
    EXPECT_EQ(last().senseKey, 5);
    EXPECT_EQ(last().asc, 0x24);
    EXPECT_EQ(last().ascq, 0x07);
    EXPECT_EQ(last().transferred, 0u);
    EXPECT_TRUE(device_->SenseIs(5, 0x24));
    EXPECT_TRUE(device_->SenseKeyIs(5));

    ASSERT_TRUE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeGood);
    EXPECT_EQ(last().senseKey, 0);
    EXPECT_EQ(last().asc, 0);
    EXPECT_EQ(last().ascq, 0);
}

TEST_F(TransportPassThroughTest, TransportFailureIsOutcomeZeroAndRetriedOnlyUnderTheMark) {
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x00, 1, 0));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(CountSent(0x00), 1u);
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    EXPECT_EQ(last().senseKey, 0);
    EXPECT_EQ(last().transferred, 0u);
    EXPECT_FALSE(last().timedOut);

    drive().ClearLog();
    device_->SetTransferMark();
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(CountSent(0x00), 2u);
    EXPECT_EQ(last().outcome, kOutcomeFailed);

    // A sense answer is the drive's word: never sent again.
    drive().ClearFaults();
    drive().ClearLog();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 0, sim::Sense{3, 0x11, 0}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(CountSent(0x00), 1u);
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);
    device_->ClearTransferMark();
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(CountSent(0x00), 2u);

    // A second attempt that succeeds brings its data.
    drive().ClearFaults();
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x12));
    device_->SetTransferMark();
    ASSERT_TRUE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(CountSent(0x12), 2u);
    EXPECT_EQ(last().transferred, 96u);
    EXPECT_EQ(std::memcmp(device_->ReadBufferData() + 8, "Korvane ", 8), 0);
}

TEST_F(TransportPassThroughTest, ProgramCommandIsNeverSentTwice) {
    ExpectProgramCommandSentOnce(*device_, drive());
}

TEST_F(TransportPassThroughTest, CommandPastTheTimeLimitFailsAndIsNotRetried) {
    device_->SetTimeLimit(5);
    device_->SetTransferMark();
    drive().AddFault(DelayFault(0x00, 10.0));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(CountSent(0x00), 1u);
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    EXPECT_TRUE(last().timedOut);
    EXPECT_GE(last().duration, 10.0);
    EXPECT_EQ(last().transferred, 0u);

    // Within the limit a slow command is a good one, up to the limit itself.
    for (const double seconds : {3.0, 5.0}) {
        drive().AddFault(DelayFault(0x00, seconds));
        EXPECT_TRUE(device_->TestUnitReady()) << seconds;
        EXPECT_FALSE(last().timedOut) << seconds;
        EXPECT_GE(last().duration, seconds);
    }

    // A system that reports GOOD only after the limit has passed: the answer came too late.
    os_.lateSeconds = 6;
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_TRUE(last().timedOut);
    EXPECT_EQ(last().outcome, kOutcomeFailed);
}

// The buffer's whole capacity can travel; a byte more is refused without calling the system.
TEST_F(TransportPassThroughTest, TransferAsLongAsTheBufferIsSentAndNoLonger) {
    EXPECT_TRUE(device_->ReadBuffer(0, kTransferBufferBytes));
    EXPECT_EQ(last().transferred, kTransferBufferBytes);
    EXPECT_FALSE(device_->ReadBuffer(0, kTransferBufferBytes + 1));
    EXPECT_EQ(CountSent(0x3C), 1u);
}

TEST_F(TransportPassThroughTest, WithoutHandleTheMarkRefusesAndKeepsTheRecord) {
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 1, sim::Sense{5, 0x24, 0x00}));
    EXPECT_FALSE(device_->TestUnitReady());
    device_->ReleaseDrive();
    ASSERT_FALSE(device_->HasOpenHandle());
    drive().ClearLog();

    device_->SetTransferMark();
    EXPECT_FALSE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);
    EXPECT_EQ(last().senseKey, 5);
    EXPECT_EQ(last().asc, 0x24);
    EXPECT_EQ(last().commandBlock[0], 0x00);  // still the previous command's

    // Without the mark the request is made, and fails in the system.
    device_->ClearTransferMark();
    EXPECT_FALSE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    EXPECT_EQ(last().senseKey, 0);
    EXPECT_EQ(last().asc, 0);
    EXPECT_EQ(last().commandBlock[0], 0x12);
    EXPECT_TRUE(drive().Log().empty());
}

// The system call succeeds, but the drive ended the command with another status than GOOD and
// gave no sense data: no success, and no check condition either.
TEST_F(TransportPassThroughTest, StatusOtherThanGoodWithoutSenseIsAFailure) {
    for (const std::uint8_t status : {0x08, 0x18, 0x28}) {  // BUSY, RESERVATION CONFLICT, FULL
        SCOPED_TRACE(static_cast<int>(status));
        os_.statusForGood = status;
        drive().ClearLog();
        device_->ClearTransferMark();
        EXPECT_FALSE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
        EXPECT_EQ(last().outcome, kOutcomeFailed);
        EXPECT_EQ(last().senseKey, 0);
        EXPECT_EQ(last().transferred, 0u);
        device_->SetTransferMark();
        EXPECT_FALSE(device_->TestUnitReady());
        EXPECT_EQ(CountSent(0x00), 2u);  // sent again, as a failure without sense is
    }
}

// Sense data are read as fixed format whatever the drive sends: the key is the low nibble of
// byte 2 (the filemark, end-of-medium and length-indicator bits above it are dropped), whatever
// the response code. A CHECK CONDITION whose key is 0 is no success all the same.
TEST_F(TransportPassThroughTest, SenseIsReadAsFixedFormatWhateverTheDriveSends) {
    drive().AddFault(rig::StagedSense(0x00, {0x71, 0, 0x86, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x28, 0}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);
    EXPECT_EQ(last().senseKey, 6);
    EXPECT_TRUE(device_->SenseIs(6, 0x28));

    drive().AddFault(rig::StagedSense(0x00, {0xF0, 0, 0xE2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 4, 1}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_TRUE(device_->SenseIs(2, 0x04));
    EXPECT_EQ(last().ascq, 1);

    drive().AddFault(rig::StagedSense(0x00, {0x70, 0, 0x80}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    EXPECT_EQ(last().senseKey, 0);
}

TEST_F(TransportPassThroughTest, ShortReplyLeavesTheRestOfTheReadBuffer) {
    std::uint8_t* buffer = device_->ReadBufferData();
    ASSERT_EQ(device_->ReadBufferCapacity(), kTransferBufferBytes);
    std::memset(buffer, 0xA5, kTransferBufferBytes);
    ASSERT_TRUE(device_->Inquiry(0, 0, 0, 96, 0));
    EXPECT_EQ(buffer[0], 0x05);
    EXPECT_EQ(std::memcmp(buffer + 8, "Korvane ", 8), 0);
    for (std::uint32_t i = 96; i < kTransferBufferBytes; ++i) {
        ASSERT_EQ(buffer[i], 0xA5) << i;
    }
}

// --- ASPI --------------------------------------------------------------------------------------

// A KMR-730T on E: that the ASPI manager holds at adapter 1, target 3; the application permits
// the manager, so an NT system takes the ASPI route.
class TransportAspiBase : public DriveRig {
  protected:
    void Build(bool asynchronous) {
        SetApplicationTag(kAspiPermittedTag);
        AddOptical('E', rig::Kmr730t());
        machine_.AddAspiDevice(1, 3, 0, 0);
        machine_.aspi().config().asynchronous = asynchronous;
        device_ = std::make_unique<AtapiDevice>(true);
        ASSERT_TRUE(device_->UsesAspi());
        ASSERT_EQ(device_->RecordCount(), 1);
        Prepare(*device_);
    }

    std::uint32_t ExecRequests() { return machine_.aspi().RequestCount(SC_EXEC_SCSI_CMD); }
    const LastCommand& last() const { return device_->LastCommandRecord(); }

    std::unique_ptr<AtapiDevice> device_;
};

class TransportAspiTest : public TransportAspiBase, public ::testing::WithParamInterface<bool> {
  protected:
    TransportAspiTest() { Build(GetParam()); }
};

TEST_P(TransportAspiTest, OutcomesFollowStatusAndSense) {
    EXPECT_FALSE(device_->HasOpenHandle());
    EXPECT_EQ(device_->CurrentAdapter(), 1);
    EXPECT_EQ(device_->CurrentTarget(), 3);

    ASSERT_TRUE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(last().outcome, kOutcomeGood);
    EXPECT_EQ(last().transferred, 96u);
    EXPECT_EQ(std::memcmp(device_->ReadBufferData() + 16, "DVDRW KMR-730T  ", 16), 0);
    EXPECT_EQ(os_.OpenHandleCount(), 0);  // the event is closed again

    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 1, sim::Sense{2, 0x3A, 0x01}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);
    EXPECT_EQ(last().senseKey, 2);
    EXPECT_EQ(last().asc, 0x3A);
    EXPECT_EQ(last().ascq, 0x01);

    drive().AddFault(MakeFault(Kind::TransportFailure, 0x00));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    EXPECT_EQ(last().senseKey, 0);
    EXPECT_EQ(last().transferred, 0u);

    // No data direction: no buffer, but the length still travels.
    ASSERT_TRUE(device_->ExecuteCommand(kTestUnitReady, kNoData, 512));

    const auto log = drive().Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[3].dir, sim::DataDir::None);
    EXPECT_EQ(log[3].length, 512u);
    EXPECT_EQ(log[0].cdbLength, 12);
    EXPECT_EQ(log[0].dir, sim::DataDir::In);
    EXPECT_EQ(log[0].length, 96u);
    EXPECT_EQ(log[1].dir, sim::DataDir::None);
    EXPECT_EQ(os_.OpenHandleCount(), 0);
}

// A manager that ends a command answered with sense data as SS_COMP: the sense data decide.
TEST_P(TransportAspiTest, SenseDataUnderSsCompIsACheckCondition) {
    machine_.aspi().config().checkConditionStatus = SS_COMP;
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 1, sim::Sense{3, 0x11, 0x00}));
    device_->SetTransferMark();
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);
    EXPECT_TRUE(device_->SenseIs(3, 0x11));
    EXPECT_EQ(CountSent(0x00), 1u);
}

// The manager reports a CHECK CONDITION as an error: with a key of 0 (only the filemark bit)
// the command failed, and under the mark it is sent again.
TEST_P(TransportAspiTest, SenseIsReadAsFixedFormatAndAKeyOfZeroFails) {
    drive().AddFault(rig::StagedSense(0x00, {0x71, 0, 0x86, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x28, 0}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);
    EXPECT_TRUE(device_->SenseIs(6, 0x28));

    drive().AddFault(rig::StagedSense(0x00, {0x70, 0, 0x80}, 1, 0));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    const std::uint32_t before = ExecRequests();
    device_->SetTransferMark();
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(ExecRequests() - before, 2u);
}

TEST_P(TransportAspiTest, BytesTransferredAreTheBytesTheDriveMoved) {
    sim::Fault cut = MakeFault(Kind::ShortTransfer, 0x12);
    cut.bytes = 36;
    drive().AddFault(cut);
    ASSERT_TRUE(device_->Inquiry(0, 0, 0, 96, 0));
    EXPECT_EQ(last().transferred, 36u);
    // A data command of the download that moves less than it asks for fails.
    cut.opcode = 0x3C;
    drive().AddFault(cut);
    EXPECT_FALSE(device_->ReadBuffer(0, 96));
    EXPECT_EQ(last().outcome, kOutcomeGood);
    EXPECT_TRUE(device_->ReadBuffer(0, 96));
}

TEST_P(TransportAspiTest, RetryUnderTheMarkAndSenseNeverRetried) {
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x00, 1, 0));
    const std::uint32_t before = ExecRequests();
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(ExecRequests() - before, 1u);
    device_->SetTransferMark();
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(ExecRequests() - before, 3u);
    EXPECT_EQ(CountSent(0x00), 3u);

    drive().ClearFaults();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 0, sim::Sense{4, 0x44, 0}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(ExecRequests() - before, 4u);
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);

    // A failure followed by a good second attempt: the second attempt's answer counts.
    drive().ClearFaults();
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x12));
    ASSERT_TRUE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(ExecRequests() - before, 6u);
    EXPECT_EQ(last().outcome, kOutcomeGood);
    EXPECT_EQ(last().senseKey, 0);
}

TEST_P(TransportAspiTest, ProgramCommandIsNeverSentTwice) {
    ExpectProgramCommandSentOnce(*device_, drive());
}

TEST_P(TransportAspiTest, NoAddressWithTheMarkIsRefused) {
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 1, sim::Sense{5, 0x20, 0x00}));
    EXPECT_FALSE(device_->TestUnitReady());
    device_->ReleaseDrive();
    ASSERT_EQ(device_->CurrentAdapter(), -1);
    const std::uint32_t before = ExecRequests();

    device_->SetTransferMark();
    EXPECT_FALSE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(ExecRequests(), before);
    EXPECT_EQ(last().outcome, kOutcomeCheckCondition);
    EXPECT_EQ(last().senseKey, 5);
    EXPECT_EQ(last().commandBlock[0], 0x00);

    // Without the mark the manager gets the request and turns the address down.
    device_->ClearTransferMark();
    EXPECT_FALSE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(ExecRequests(), before + 1);
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    EXPECT_EQ(last().senseKey, 0);
    EXPECT_EQ(CountSent(0x12), 0u);
}

TEST_P(TransportAspiTest, WithoutAnEventTheStatusIsPolled) {
    machine_.os.eventCreateFails = true;
    ASSERT_TRUE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(last().outcome, kOutcomeGood);
    EXPECT_EQ(std::memcmp(device_->ReadBufferData() + 8, "Korvane ", 8), 0);
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 1, sim::Sense{2, 0x04, 0x01}));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_TRUE(device_->SenseIs(2, 0x04));
}

INSTANTIATE_TEST_SUITE_P(Manager, TransportAspiTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Asynchronous" : "Synchronous";
                         });

class TransportAspiSyncTest : public TransportAspiBase {
  protected:
    TransportAspiSyncTest() { Build(false); }
};

TEST_F(TransportAspiSyncTest, CommandPastTheTimeLimitFailsAndIsNotRetried) {
    device_->SetTimeLimit(5);
    device_->SetTransferMark();
    drive().AddFault(DelayFault(0x00, 10.0));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(CountSent(0x00), 1u);
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    EXPECT_TRUE(last().timedOut);
    EXPECT_GE(last().duration, 10.0);
    EXPECT_FALSE(device_->AspiRequestStranded());
    EXPECT_TRUE(device_->TestUnitReady());
}

class TransportAspiAsyncTest : public TransportAspiBase {
  protected:
    TransportAspiAsyncTest() { Build(true); }
};

TEST_F(TransportAspiAsyncTest, RequestStillHeldAfterTheWaitStrandsTheObject) {
    machine_.aspi().Hold(true);
    const double start = machine_.clock.NowSeconds();
    EXPECT_FALSE(device_->TestUnitReady());
    // The wait lasted the whole time limit: 108,000 s.
    EXPECT_GE(machine_.clock.NowSeconds() - start, 108000.0);
    EXPECT_EQ(last().outcome, kOutcomeFailed);
    EXPECT_TRUE(last().timedOut);
    EXPECT_TRUE(device_->AspiRequestStranded());
    EXPECT_EQ(machine_.aspi().Queued(), 1);

    // The request block and the buffers may still be written: nothing more goes out.
    const std::uint32_t before = ExecRequests();
    EXPECT_FALSE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(ExecRequests(), before);
    EXPECT_EQ(last().outcome, kOutcomeFailed);

    // The object goes; the manager then carries the request out into what it left behind.
    device_.reset();
    machine_.aspi().Hold(false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((machine_.aspi().Busy() > 0 || machine_.aspi().Queued() > 0) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(machine_.aspi().Queued(), 0);
    EXPECT_EQ(CountSent(0x00), 1u);
}

TEST_F(TransportAspiAsyncTest, AWakeUpBeforeTheRequestEndsIsNotItsEnd) {
    // Each event is signalled before the manager has even started: the status still decides.
    machine_.os.staleEventSignals = true;
    drive().AddFault(DelayFault(0x00, 2.0));
    const double start = machine_.clock.NowSeconds();
    EXPECT_TRUE(device_->TestUnitReady());
    EXPECT_GE(machine_.clock.NowSeconds() - start, 2.0);
    EXPECT_EQ(last().outcome, kOutcomeGood);
    EXPECT_FALSE(device_->AspiRequestStranded());
    ASSERT_TRUE(device_->ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(std::memcmp(device_->ReadBufferData() + 8, "Korvane ", 8), 0);

    // A request the manager never ends is still given up at the time limit.
    device_->SetTimeLimit(5);
    machine_.aspi().Hold(true);
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_TRUE(last().timedOut);
    EXPECT_TRUE(device_->AspiRequestStranded());
    device_.reset();
    machine_.aspi().Hold(false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((machine_.aspi().Busy() > 0 || machine_.aspi().Queued() > 0) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
}

// The manager's library loads, but without its command entry point: the object keeps the ASPI
// route with nothing to call.
class TransportNoManagerTest : public DriveRig {};

TEST_F(TransportNoManagerTest, AspiRouteWithoutEntryPointCallsNothing) {
    machine_.os.ntFamily = false;
    AddOptical('E', rig::Kmr730t());
    machine_.AddAspiDevice(0, 0, 0, 0);
    machine_.aspi().config().asynchronous = false;
    AtapiDevice source(true);
    ASSERT_EQ(source.RecordCount(), 1);

    machine_.aspi().config().hasSendCommandEntry = false;
    AtapiDevice target(false);
    EXPECT_TRUE(target.UsesAspi());
    EXPECT_FALSE(target.AspiLoaded());
    target.CopyFrom(source);
    ASSERT_TRUE(target.SelectDrive(0));
    drive().ClearLog();
    const std::uint32_t before = machine_.aspi().RequestCount(SC_EXEC_SCSI_CMD);

    EXPECT_FALSE(target.TestUnitReady());
    EXPECT_EQ(target.LastCommandRecord().outcome, kOutcomeFailed);
    EXPECT_FALSE(target.ExecuteCommand(kStandardInquiry, kDataIn, 96));
    EXPECT_EQ(target.LastCommandRecord().outcome, kOutcomeFailed);
    EXPECT_EQ(machine_.aspi().RequestCount(SC_EXEC_SCSI_CMD), before);
    EXPECT_TRUE(drive().Log().empty());

    // A scan on such an object finds nothing and does not crash.
    target.Scan();
    EXPECT_EQ(target.RecordCount(), 0);
}

}  // namespace
}  // namespace quiver
