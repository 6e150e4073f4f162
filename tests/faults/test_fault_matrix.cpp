// The fault matrix: the whole program (the window on the headless toolkit, its workers and the
// drive objects) against an emulated PC with one fault injected, from the first click on Update
// to the dialog that ends the update. Every case also checks, from the drives' own command logs,
// that the flash was programmed only from an image that was completely written and read back
// in the attempt just before, that no WRITE BUFFER reached a drive other than the admitted one
// (a drive put in its place since the scan), and that no drive got more than one program
// command.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app_rig.h"

namespace quiver::apptest {
namespace {

using Kind = sim::Fault::Kind;

constexpr char kSuccess[] = "Firmware has been updated successfully !";
constexpr char kFailure[] = "Unable to flash firmware. Please contact with your vendor !";
constexpr std::uint32_t kBlockBytes = 16384;
constexpr std::uint32_t kImageBlocks = kMiB / kBlockBytes;  // 64
constexpr std::uint8_t kWriteBufferOp = 0x3B;
constexpr std::uint8_t kReadBufferOp = 0x3C;

enum class Machine {
    OneDrive,            // a KMR-730T at E:, through the pass-through
    SeventeenDrives,     // 17 KMR-730Ts, AUTOMODE on: more drives than the table holds
    Windows95Aspi,       // the 95 line: the KMR-730T on the ASPI manager
    TwoLettersOneDrive,  // AUTOMODE on: KMR-730Ts at E: (also reached as G:) and F:
};

struct FaultCase {
    const char* name;
    std::vector<sim::Fault> faults;  // on drive 0, added once start-up is over
    bool programSent;                // the program command reached drive 0
    std::vector<std::string> dialogs;
    Machine machine = Machine::OneDrive;
    std::uint8_t aspiStatus = SS_COMP;
    const char* messageBox = nullptr;  // the ASPI load failure's text, if one is shown
    // Drive 0 reports this revision once programmed (none: the image's).
    const char* revisionAfterProgram = nullptr;
    // The flash of drive 0 was written although the update is reported as failed.
    bool flashedAnyway = false;
};

// A failing case names itself and what it expected, not its bytes.
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name << " (" << c.faults.size() << (c.faults.size() == 1 ? " fault" : " faults")
        << "; the program command " << (c.programSent ? "sent" : "never sent") << "; ";
    if (c.dialogs.empty()) {
        *os << "no dialog";
    } else {
        *os << "ends with \"" << c.dialogs.back().substr(0, c.dialogs.back().find('\n')) << "\"";
    }
    *os << ")";
}

sim::Fault Fail(int opcode, std::uint32_t first, std::uint32_t count) {
    return rig::MakeFault(Kind::TransportFailure, opcode, first, count);
}
sim::Fault Check(int opcode, sim::Sense sense, std::uint32_t first, std::uint32_t count) {
    return rig::MakeFault(Kind::SenseData, opcode, first, count, sense);
}
sim::Fault Differs(std::uint32_t block, std::uint32_t attempt, std::uint32_t byte = 0) {
    sim::Fault f = rig::MakeFault(Kind::ReadBackDiffers, -1, 1, 0);
    f.block = block;
    f.attempt = attempt;
    f.byte = byte;
    return f;
}
sim::Fault Delay(int opcode, std::uint32_t first, double seconds) {
    sim::Fault f = rig::MakeFault(Kind::Delay, opcode, first, 1);
    f.seconds = seconds;
    return f;
}

// From the matching command on, another drive answers in drive 0's place.
sim::Fault Replaced(int opcode, std::uint32_t first, sim::DriveConfig by) {
    sim::Fault f = rig::MakeFault(Kind::Replaced, opcode, first, 1);
    f.by = std::make_shared<sim::Replacement>(sim::Replacement{std::move(by), {}});
    return f;
}
sim::DriveConfig Kmr(const char* revision, const char* serial = "KV730T000001") {
    sim::DriveConfig config = rig::Kmr730t(false);
    config.revision = revision;
    config.serialNumber = serial;
    return config;
}
sim::Fault Short(int opcode, std::uint32_t first, std::uint32_t count, std::uint32_t bytes) {
    sim::Fault f = rig::MakeFault(Kind::ShortTransfer, opcode, first, count);
    f.bytes = bytes;
    return f;
}

// What the scan compared a drive by, and what it is compared by before it is written to.
std::string Identity(const sim::DriveConfig& c) {
    return c.vendor + "|" + c.product + "|" + c.revision + "|" + c.serialNumber;
}

std::uint32_t Get24(const std::uint8_t* at) {
    return (static_cast<std::uint32_t>(at[0]) << 16) | (static_cast<std::uint32_t>(at[1]) << 8) |
           at[2];
}

bool IsImageWrite(const sim::LoggedCommand& c) {
    return c.cdb[0] == kWriteBufferOp && c.cdb[1] == 0x05 && c.cdb[9] == 0 &&
           c.length == kBlockBytes;
}
bool IsImageRead(const sim::LoggedCommand& c) {
    return c.cdb[0] == kReadBufferOp && c.cdb[1] == 0x01 && c.length == kBlockBytes;
}

// Checks the log of one drive: before every program command, the image attempt that preceded it
// (from its write at offset 0) wrote every block and read each one back, in order, every command
// GOOD, and the read-back of that attempt was not one the faults spoil. Returns the number of
// program commands.
std::size_t CheckProgramOnlyAfterVerifiedImage(const std::vector<sim::LoggedCommand>& log,
                                               const std::vector<sim::Fault>& faults,
                                               const std::string& what) {
    std::size_t programs = 0;
    std::uint32_t attempt = 0;  // the image attempt, as the drive counts them
    std::size_t attemptStart = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const sim::LoggedCommand& c = log[i];
        if (c.cdb[0] == kWriteBufferOp && Get24(&c.cdb[3]) == 0 && IsImageWrite(c)) {
            ++attempt;
            attemptStart = i;
        }
        if (!IsProgramCommand(c)) {
            continue;
        }
        ++programs;
        SCOPED_TRACE(what + ": program command at log entry " + std::to_string(i));
        if (attempt == 0) {
            ADD_FAILURE() << "programmed without an image";
            continue;
        }
        for (const sim::Fault& f : faults) {
            if (f.kind == Kind::ReadBackDiffers) {
                EXPECT_FALSE(f.attempt == 0 || f.attempt == attempt)
                    << "programmed after attempt " << attempt
                    << " whose read-back differed in block " << f.block;
            }
        }
        // Write and read-back of block k, k = 0..63, in this order, all GOOD.
        std::uint32_t next = 0;
        bool written = false;
        for (std::size_t j = attemptStart; j < i && !::testing::Test::HasFailure(); ++j) {
            const sim::LoggedCommand& d = log[j];
            if (IsImageWrite(d)) {
                EXPECT_EQ(Get24(&d.cdb[3]), next * kBlockBytes) << "entry " << j;
                EXPECT_EQ(d.completion, sim::Completion::Good) << "entry " << j;
                written = true;
            } else if (IsImageRead(d)) {
                EXPECT_TRUE(written) << "read-back without its write, entry " << j;
                EXPECT_EQ(Get24(&d.cdb[3]), next * kBlockBytes) << "entry " << j;
                EXPECT_EQ(d.completion, sim::Completion::Good) << "entry " << j;
                EXPECT_EQ(d.transferred, kBlockBytes) << "entry " << j;
                written = false;
                ++next;
            }
        }
        EXPECT_EQ(next, kImageBlocks) << "blocks written and read back before programming";
    }
    return programs;
}

const std::vector<std::string> kSucceeded{kSuccess};
const std::vector<std::string> kFailed{kFailure};
const std::vector<std::string> kNoDrive{
    "No matched drive detected !\nThis utility is only for Korvane DVDRW KMR-730T drive.\n\n"
    "Detected drives :\n"};

class FaultMatrixTest : public AppRig, public ::testing::WithParamInterface<FaultCase> {
  protected:
    FaultMatrixTest() {
        package_.Put(QUIVER_SLOT(reboot), "REBOOT=0").Put(QUIVER_SLOT(close_ap), "CLOSEAP=1");
    }
};

TEST_P(FaultMatrixTest, EndsAsExpectedAndProgramsOnlyAVerifiedImage) {
    const FaultCase& c = GetParam();
    int drives = 1;
    switch (c.machine) {
        case Machine::OneDrive: {
            sim::DriveConfig config = Kmr("QM01");
            config.revisionAfterProgram = c.revisionAfterProgram ? c.revisionAfterProgram : "";
            AddOptical('E', config);
            break;
        }
        case Machine::TwoLettersOneDrive:
            drives = 2;
            AddKmr(0);
            AddKmr(1);
            machine_.AddLetter('G', sim::LetterType::CdRom, 0);  // E:'s drive, at its address
            package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1");
            break;
        case Machine::SeventeenDrives:
            drives = 17;
            for (int i = 0; i < drives; ++i) {
                machine_.AddDrive(rig::Kmr730t(false));
                sim::Letter& l =
                    machine_.AddLetter(static_cast<char>('D' + i), sim::LetterType::CdRom, i);
                l.target = static_cast<std::uint8_t>(i);
            }
            package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1");
            break;
        case Machine::Windows95Aspi:
            machine_.os.ntFamily = false;
            AddKmr(0);
            machine_.AddAspiDevice(0, 0, 0, 0);
            machine_.aspi().config().supportStatus = c.aspiStatus;
            break;
    }
    Open();
    for (const sim::Fault& f : c.faults) {
        drive(0).AddFault(f);
    }
    const bool autoMode =
        c.machine == Machine::SeventeenDrives || c.machine == Machine::TwoLettersOneDrive;
    if (!autoMode && !app_->Terminated()) {
        ClickUpdate();
    }
    app_->Run();

    EXPECT_EQ(DialogTexts(), c.dialogs);
    EXPECT_EQ(window_->RunningWorkers(), 0);
    if (c.messageBox != nullptr) {
        ASSERT_FALSE(os_.MessageBoxes().empty());
        EXPECT_EQ(os_.MessageBoxes().front().text, c.messageBox);
    } else {
        EXPECT_TRUE(os_.MessageBoxes().empty());
    }

    const std::vector<std::uint8_t> image = package_.ImageOfBank1();
    for (int i = 0; i < drives; ++i) {
        const std::string what = "drive " + std::to_string(i);
        sim::Drive& admitted = drive(i);
        sim::Drive* other = admitted.ReplacedBy();
        sim::Drive& answering = other != nullptr ? *other : admitted;
        std::size_t programs = CheckProgramOnlyAfterVerifiedImage(
            admitted.Log(), i == 0 ? c.faults : std::vector<sim::Fault>{}, what);
        if (other != nullptr) {
            programs += CheckProgramOnlyAfterVerifiedImage(other->Log(), {}, what + " replaced");
            if (Identity(other->config()) != Identity(admitted.config())) {
                for (const sim::LoggedCommand& command : other->Log()) {
                    EXPECT_NE(command.cdb[0], kWriteBufferOp)
                        << what << ": written although another drive was admitted";
                }
            }
        }
        EXPECT_LE(programs, 1u) << what;
        const bool sent = c.machine == Machine::SeventeenDrives      ? i < kMaxDrives
                          : c.machine == Machine::TwoLettersOneDrive ? true
                                                                     : c.programSent;
        const bool flashed = sent && (c.dialogs == kSucceeded || c.flashedAnyway);
        EXPECT_EQ(programs, sent ? 1u : 0u) << what;
        EXPECT_EQ(answering.ProgramCount(), flashed ? 1u : 0u) << what;
        if (flashed) {
            EXPECT_EQ(answering.FlashContents(), image) << what;
        }
    }
}

// WRITE BUFFER number 1 is the flash profile; number 2 the first image block.
const FaultCase kCases[] = {
    // The transport: a failure on an image block is sent again at once, a second failure ends
    // the attempt, and the image is tried three times in all.
    {"TransportFailsOnce", {Fail(kWriteBufferOp, 2, 1)}, true, kSucceeded},
    {"TransportFailsTwice", {Fail(kWriteBufferOp, 2, 2)}, true, kSucceeded},
    {"TransportFailsInEveryAttempt",
     {Fail(kWriteBufferOp, 2, 2), Fail(kWriteBufferOp, 5, 2), Fail(kWriteBufferOp, 8, 2)},
     false,
     kFailed},
    {"TransportFailsAlways", {Fail(kWriteBufferOp, 2, 0)}, false, kFailed},
    // Sense data on the data commands: the attempt ends, the next one starts from block 0.
    {"BecomingReadyOnWrite",
     {Check(kWriteBufferOp, sim::sense::kBecomingReady, 10, 1)},
     true,
     kSucceeded},
    {"HardwareErrorOnReadAlways", {Check(kReadBufferOp, {4, 0x44, 0x00}, 1, 0)}, false, kFailed},
    {"InvalidFieldOnWrite",
     {Check(kWriteBufferOp, sim::sense::kInvalidFieldInCdb, 40, 1)},
     true,
     kSucceeded},
    {"PowerOnResetOnRead",
     {Check(kReadBufferOp, sim::sense::kPowerOnReset, 64, 1)},
     true,
     kSucceeded},
    // The program command itself is refused: sent once, never reported as a success.
    {"InvalidFieldOnProgram",
     {Check(kWriteBufferOp, sim::sense::kInvalidFieldInCdb, 66, 1)},
     true,
     kFailed},
    // The program command gets no answer: the drive may be programming already, so it is not
    // sent again, and the update fails.
    {"TransportFailsOnProgram", {Fail(kWriteBufferOp, 66, 1)}, true, kFailed},
    // The read-back differs in one block: in the first attempt only, the second one passes; in
    // every attempt, the flash is never programmed.
    {"ReadBackDiffersFirstBlockOnce", {Differs(0, 1)}, true, kSucceeded},
    {"ReadBackDiffersMiddleBlockOnce", {Differs(31, 1)}, true, kSucceeded},
    {"ReadBackDiffersLastBlockOnce", {Differs(63, 1)}, true, kSucceeded},
    {"ReadBackDiffersLastBlockTwice", {Differs(63, 1), Differs(63, 2)}, true, kSucceeded},
    {"ReadBackDiffersFirstBlockAlways", {Differs(0, 0)}, false, kFailed},
    {"ReadBackDiffersMiddleBlockAlways", {Differs(31, 0)}, false, kFailed},
    {"ReadBackDiffersLastBlockAlways", {Differs(63, 0)}, false, kFailed},
    {"ReadBackDiffersLastByteAlways", {Differs(63, 0, kBlockBytes - 1)}, false, kFailed},
    // The drive goes away halfway through the image.
    {"DriveVanishesDuringTransfer",
     {rig::MakeFault(Kind::Vanish, kWriteBufferOp, 20, 1)},
     false,
     kFailed},
    // A block that takes longer than the command's time limit counts as failed, even though the
    // drive completed it in the end.
    {"WriteOutlastsTheTimeLimit",
     {Delay(kWriteBufferOp, 3, kDefaultTimeLimit + 1.0)},
     true,
     kSucceeded},
    {"EveryReadOutlastsTheTimeLimit",
     {Delay(kReadBufferOp, 1, kDefaultTimeLimit + 1.0),
      Delay(kReadBufferOp, 2, kDefaultTimeLimit + 1.0),
      Delay(kReadBufferOp, 3, kDefaultTimeLimit + 1.0)},
     false,
     kFailed},
    // Unit attentions: 150 on every kind of command from the download on (after the drive's
    // identity and serial number were read again; some 45 s of polls, well within the 60 s the
    // download waits) are ridden out by the readiness wait and the image attempts; a drive that
    // answers every TEST UNIT READY with one is waited for up to the limit and then written
    // anyway, as the data commands decide.
    {"UnitAttentionFlood", {Check(-1, sim::sense::kPowerOnReset, 3, 150)}, true, kSucceeded},
    {"UnitAttentionOnEveryReadinessPoll",
     {Check(0x00, sim::sense::kPowerOnReset, 1, 0)},
     true,
     kSucceeded},
    {"UnitAttentionOnEveryReadBack",
     {Check(kReadBufferOp, sim::sense::kPowerOnReset, 1, 0)},
     false,
     kFailed},
    // Another drive answers behind the letter since the scan: the check at the start of the
    // worker finds another revision or serial number, and nothing is written to it. A drive
    // that answers exactly as the admitted one did cannot be told from it, and is flashed.
    {"ReplacedByAnotherRevision", {Replaced(0x12, 1, Kmr("QM10"))}, false, kFailed},
    {"ReplacedByAnotherSerialNumber",
     {Replaced(0x12, 1, Kmr("QM01", "KV730T000002"))},
     false,
     kFailed},
    {"ReplacedByADriveWithoutSerialNumber", {Replaced(0x12, 1, Kmr("QM01", ""))}, false, kFailed},
    {"ReplacedByAnIdenticalDrive", {Replaced(0x12, 1, Kmr("QM01"))}, true, kSucceeded},
    // One drive reached through two letters is one target: one image, one program command.
    {"TwoLettersOneDrive", {}, true, kSucceeded, Machine::TwoLettersOneDrive},
    // Short transfers: a block that moved less than 16 KiB failed, whatever the bytes compare.
    {"ShortWriteOnce", {Short(kWriteBufferOp, 2, 1, kBlockBytes - 2)}, true, kSucceeded},
    {"ShortReadBackOnce", {Short(kReadBufferOp, 40, 1, kBlockBytes / 2)}, true, kSucceeded},
    {"ShortReadBackAlways", {Short(kReadBufferOp, 1, 0, kBlockBytes / 2)}, false, kFailed},
    // Identity replies cut short after the update: no revision is made up from what an earlier
    // reply left in the buffer, so the old one stands, as for a drive that does not answer.
    {"IdentityCutShortAfterProgram", {Short(0x12, 3, 0, 35)}, true, kSucceeded},
    {"ShortReadBackAlwaysThroughAspi",
     {Short(kReadBufferOp, 1, 0, kBlockBytes - 1)},
     false,
     kFailed,
     Machine::Windows95Aspi},
    // After the update the drive reports a revision that is neither the new nor the old one:
    // the flash was written, and the update failed. The old revision stands (a power cycle may
    // be needed to run the new firmware).
    {"ThirdRevisionAfterProgram",
     {},
     true,
     kFailed,
     Machine::OneDrive,
     SS_COMP,
     nullptr,
     "QM99",
     true},
    {"OldRevisionAfterProgram", {}, true, kSucceeded, Machine::OneDrive, SS_COMP, nullptr, "QM01"},
    // More drives than the table holds: the first 16 are flashed, the 17th is never touched.
    {"SeventeenDrives", {}, true, kSucceeded, Machine::SeventeenDrives},
    // The 95 line reaches the drives only through the ASPI manager: a manager that does not
    // answer SS_COMP is reported, and no drive is found.
    {"AspiReady", {}, true, kSucceeded, Machine::Windows95Aspi, SS_COMP},
    {"AspiMissing",
     {},
     false,
     kNoDrive,
     Machine::Windows95Aspi,
     SS_NO_ASPI,
     "Could not find the ASPI manager."},
    {"AspiRealMode",
     {},
     false,
     kNoDrive,
     Machine::Windows95Aspi,
     SS_ILLEGAL_MODE,
     "ASPI for Windows does not support real mode."},
    {"AspiOldManager",
     {},
     false,
     kNoDrive,
     Machine::Windows95Aspi,
     SS_OLD_MANAGER,
     "Old ASPI manager."},
    {"AspiOtherStatus",
     {},
     false,
     kNoDrive,
     Machine::Windows95Aspi,
     SS_FAILED_INIT,
     "Error initializing ASPI."},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace quiver::apptest
