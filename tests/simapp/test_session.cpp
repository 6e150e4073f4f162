// quiver-sim runs, from the options to the transcript: what a vendor can stage with a machine
// file and the scripted answers, and the order in which the transcript tells it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "simapp/package_file.h"
#include "simapp/session.h"

namespace quiver::simapp {
namespace {

constexpr char kSuccess[] =
    R"(dialog information "Information" ok "Firmware has been updated successfully !")";
constexpr char kNoDrive[] =
    R"(dialog error "Error" ok "No matched drive detected !\nThis utility is only for )"
    R"(Korvane DVDRW KMR-730T drive.\n\nDetected drives :\n")";

// The demo package with the disc and tray check on and the notice off.
std::vector<std::uint8_t> CheckDiscPackage() {
    std::vector<std::uint8_t> block(DemoPackage(), DemoPackage() + DemoPackageSize());
    auto put = [&](std::size_t offset, std::size_t size, const char* text) {
        std::memset(block.data() + offset, 0, size);
        std::memcpy(block.data() + offset, text, std::strlen(text));
    };
    put(offsetof(PackageHeader, chk_disc), sizeof(PackageHeader::chk_disc), "CHKDISC=1");
    put(offsetof(PackageHeader, warning), sizeof(PackageHeader::warning), "WARNING=0");
    return block;
}

class SessionTest : public ::testing::Test {
  protected:
    // Runs quiver-sim; returns the transcript's lines.
    std::vector<std::string> Run(const SimOptions& options) {
        std::ostringstream out;
        std::ostringstream err;
        exitCode_ = RunSimulation(options, out, err);
        errors_ = err.str();
        std::vector<std::string> lines;
        std::istringstream in(out.str());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> RunMachine(const std::string& machine,
                                        std::vector<std::string> answers = {}) {
        SimOptions options;
        options.machineText = machine;
        for (const std::string& a : answers) {
            options.answers.push_back(ParseAnswer(a));
        }
        return Run(options);
    }

    // Where `line` first stands; the end when it is not there.
    static std::size_t Find(const std::vector<std::string>& lines, const std::string& line) {
        return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) -
                                        lines.begin());
    }

    // The lines that start with `prefix`, in order.
    static std::vector<std::string> Starting(const std::vector<std::string>& lines,
                                             const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& l : lines) {
            if (l.rfind(prefix, 0) == 0) {
                out.push_back(l);
            }
        }
        return out;
    }

    int exitCode_ = -1;
    std::string errors_;
};

// --- Events as they happen ---

TEST_F(SessionTest, RestartIsWrittenAfterTheSuccessDialogAndBeforeTheEnd) {
    const std::vector<std::string> t = Run(SimOptions{});
    EXPECT_EQ(exitCode_, 0);
    const std::size_t success = Find(t, kSuccess);
    const std::size_t restart = Find(t, "restart flags=0x6 reason=0x0 accepted");
    ASSERT_LT(success, t.size());
    ASSERT_LT(restart, t.size());
    EXPECT_LT(success, restart);
    EXPECT_EQ(t.at(restart + 1), "terminate");
    EXPECT_EQ(t.back(), "end");
}

// The drive object's own boxes, loading the ASPI manager on a system without pass-through, are
// written when they are made, each followed by its answer, before the start-up ends.
TEST_F(SessionTest, TheDriveObjectsMessageBoxesReachTheTranscript) {
    struct Case {
        const char* aspi;
        const char* line;
    };
    const Case cases[] = {
        {R"({"installed": false})",
         R"(msgbox "Error FS 002" 0x10 "LoadLibrary:\nWNASPI32.DLL not found.")"},
        {R"({"entries": ["SendASPI32Command"]})",
         R"(msgbox "Error FS 003" 0x10 "GetProcAddress:\nGetASPI32SupportInfo not fount.")"},
        {R"({"entries": ["GetASPI32SupportInfo"]})",
         R"(msgbox "Error FS 004" 0x10 "GetProcAddress:\npfnSendASPI32Command not found.")"},
        {R"({"supportStatus": "SS_OLD_MANAGER"})",
         R"(msgbox "GetASPISupportInfo:" 0x10 "Old ASPI manager.")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.aspi);
        const std::vector<std::string> t =
            RunMachine(R"({"os": {"family": "win95"}, "drives": [{"name": "E"}], "aspi": )" +
                       std::string(c.aspi) + "}");
        EXPECT_EQ(Starting(t, "msgbox"), std::vector<std::string>{c.line});
        const std::size_t box = Find(t, c.line);
        ASSERT_LT(box + 1, t.size());
        EXPECT_EQ(t[box + 1], "answer ok");
        EXPECT_LT(box, Find(t, kNoDrive));
        EXPECT_LT(Find(t, kNoDrive), t.size());
    }
}

// --- Memory the emulated system gives ---

// The drive objects take their buffers from the process heap: how much there is decides
// whether the scanning object is made, whether its scan finds the drive, and whether an update
// gets a drive object of its own.
TEST_F(SessionTest, TheProcessHeapDecidesWhichDriveObjectsCanBeMade) {
    const struct {
        const char* os;
        const char* expected;  // a line the run shows
        bool scanned;          // the drive saw commands
    } cases[] = {
        {R"({"heapFails": true})", R"(msgbox "Error ..." 0x10 "Device object initialize failed !")",
         false},
        {R"({"heapBytes": 65536})",
         R"(msgbox "Error ..." 0x10 "Device object initialize failed !")", false},
        {R"({"heapBytes": 131072})", kNoDrive, false},
        {R"({"heapBytes": 196608})", "click cmdUpdate", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.os);
        const std::vector<std::string> t =
            RunMachine(R"({"os": )" + std::string(c.os) + R"(, "drives": [{"name": "E"}]})");
        EXPECT_LT(Find(t, c.expected), t.size());
        EXPECT_EQ(Starting(t, "scsi E").empty(), !c.scanned);
        EXPECT_TRUE(Starting(t, "scsi E 3B").empty());
        EXPECT_EQ(Find(t, kSuccess), t.size());
    }
}

// --- Identities as drives send them ---

// What start-up lists for a drive whose INQUIRY reply is staged, and whether it is admitted.
TEST_F(SessionTest, StagedInquiryRepliesAreListedAsTheDriveSendsThem) {
    const std::string zeroIdentity =
        R"({"name": "E", "vendor": [0, 0, 0, 0, 0, 0, 0, 0],
            "product": [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]})";
    const struct {
        const char* what;
        std::string drive;
        std::string line;
        bool admitted;
    } cases[] = {
        // Vendor and product all zero: no identity in 10 attempts, the texts stay empty.
        {"all-zero identity", zeroIdentity, R"(list 0 " 1-0-0-0 E:)" + std::string(29, ' ') + "\"",
         false},
        {"non-printable vendor", R"({"name": "E", "vendor": [1, 2, 3, 4, 5, 6, 7, 127]})",
         R"(list 0 " 1-0-0-0 E:\x01\x02\x03\x04\x05\x06\x07\x7FDVDRW KMR-730T   QM01")", false},
        // 36 bytes end with the revision: all the identity there is.
        {"36-byte reply", R"({"name": "E", "inquiryLength": 36})",
         R"(list 0 " 1-0-0-0 E:Korvane DVDRW KMR-730T   QM01")", true},
        // A reply that ends before the revision is no identity at all.
        {"32-byte reply", R"({"name": "E", "inquiryLength": 32})",
         R"(list 0 " 1-0-0-0 E:)" + std::string(29, ' ') + "\"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::string> t = RunMachine(R"({"drives": [)" + c.drive + "]}");
        EXPECT_LT(Find(t, c.line), t.size());
        EXPECT_EQ(Find(t, kSuccess) < t.size(), c.admitted);
        EXPECT_EQ(Starting(t, "dialog error").size(), c.admitted ? 0u : 1u);
    }
    const std::vector<std::string> zero = RunMachine(R"({"drives": [)" + zeroIdentity + "]}");
    EXPECT_EQ(Starting(zero, "scsi E 12 00 00 00 60").size(), 10u);
}

// A reply too short to hold the revision is no identity: the bytes an earlier drive's reply
// left in the buffer are not taken for it, and the drive is not admitted on them.
TEST_F(SessionTest, AShortReplyNeverTakesAnotherDrivesRevision) {
    const std::vector<std::string> t = RunMachine(R"({"drives": [
        {"name": "D", "model": "other", "vendor": "ORBITECH", "product": "DVD-ROM OD-1650 ",
         "revision": "QM01"},
        {"name": "E", "inquiryLength": 32}]})");
    EXPECT_LT(Find(t, R"(list 1 " 1-0-1-0 E:)" + std::string(29, ' ') + "\""), t.size());
    EXPECT_TRUE(Starting(t, "scsi E 3B").empty());
    EXPECT_EQ(Starting(t, "dialog error").size(), 1u);
}

// --- Sense as drives send it ---

// The disc and tray check learns from TEST UNIT READY's sense whether a disc is in. Sense bytes
// as some drives send them (a deferred error's response code, the filemark, end-of-medium and
// length-indicator bits above the key, more bytes than asked for) tell it the same as the plain
// sense of that key, code and qualifier: no disc, nothing to eject.
TEST_F(SessionTest, StagedSenseBytesAreReadForTheirKeyCodeAndQualifier) {
    auto run = [&](const std::string& sense) {
        SimOptions options;
        options.machineText = R"({"drives": [{"name": "E", "faults": [{"kind": "sense",
            "opcode": "0x00", "count": 0, "sense": )" +
                              sense + "}]}]}";
        options.package = CheckDiscPackage();
        const std::vector<std::string> t = Run(options);
        std::vector<std::string> seen;
        for (const std::string& l : Starting(t, "label lblMsg")) {
            if (l.find("Programming") == std::string::npos) {  // its dots follow the clock
                seen.push_back(l);
            }
        }
        seen.push_back(std::to_string(Starting(t, "scsi E 00").size()) + " polls");
        seen.push_back(Find(t, kSuccess) < t.size() ? "updated" : "not updated");
        return seen;
    };
    const std::vector<std::string> plain = run(R"("2/3A/01")");
    ASSERT_EQ(plain.at(0), R"(label lblMsg "Check Disc & Tray Status...")");
    EXPECT_EQ(Find(plain, R"(label lblMsg "Tray Out ...")"), plain.size());
    EXPECT_EQ(plain.back(), "updated");
    for (const char* bytes : {R"("70 00 E2 00 00 00 00 0A 00 00 00 00 3A 01")",
                              R"("71 00 02 00 00 00 00 0A 00 00 00 00 3A 01")",
                              R"([240, 0, 162, 0, 0, 0, 0, 10, 0, 0, 0, 0, 58, 1, 0, 0, 0, 0])"}) {
        EXPECT_EQ(run(bytes), plain) << bytes;
    }
}

// --- The user at the drive while a dialog is open ---

TEST_F(SessionTest, ScriptedAnswersCarryWhatTheUserDoesToTheDrive) {
    const ScriptedAnswer a = ParseAnswer("ok+unlock@E+remove-disc");
    EXPECT_EQ(a.answer, "ok");
    ASSERT_EQ(a.acts.size(), 2u);
    EXPECT_EQ(a.acts[0].action, HandAction::Unlock);
    EXPECT_EQ(a.acts[0].drive, "E");
    EXPECT_EQ(a.acts[1].action, HandAction::RemoveDisc);
    EXPECT_EQ(a.acts[1].drive, "");
    for (const char* bad : {"sure", "ok+dance", "ok+remove-disc@", "+remove-disc"}) {
        EXPECT_THROW(ParseAnswer(bad), UsageError) << bad;
    }
}

// The disc and tray check as a user lives it: the disc is in, the tray opens, the user takes
// the disc out when asked to, and the update goes on.
TEST_F(SessionTest, DiscTakenOutWhenAskedLetsTheUpdateGoOn) {
    SimOptions options;
    options.machineText = R"({"drives": [{"name": "E", "medium": true}]})";
    options.package = CheckDiscPackage();
    options.answers = {ParseAnswer("ok+remove-disc@E")};
    const std::vector<std::string> t = Run(options);
    const std::size_t ask = Find(t, R"(dialog warning "Warning" ok "Please remove the disc.")");
    ASSERT_LT(ask + 2, t.size());
    EXPECT_EQ(t[ask + 1], "user remove-disc E");
    EXPECT_EQ(t[ask + 2], "answer ok");
    EXPECT_EQ(Starting(t, "dialog").size(), 2u);
    EXPECT_LT(ask, Find(t, kSuccess));
}

// A tray that another program holds locked stays in when the user presses the button; once
// that program is gone the disc comes out and the check ends.
TEST_F(SessionTest, LockedTrayStaysInUntilTheOtherProgramEnds) {
    constexpr char kLocked[] =
        R"(dialog warning "Warning" ok "Disc detected in drive. Unable to eject the disc , )"
        R"(maybe locked by other program\n\nPlease remove the disc manually.")";
    SimOptions options;
    options.machineText = R"({"drives": [{"name": "E", "medium": true, "locked": true}]})";
    options.package = CheckDiscPackage();
    options.answers = {ParseAnswer("ok+open-tray"), ParseAnswer("ok+unlock+remove-disc")};
    const std::vector<std::string> t = Run(options);
    EXPECT_EQ(Starting(t, "user"),
              (std::vector<std::string>{"user open-tray E locked", "user unlock E",
                                        "user remove-disc E"}));
    EXPECT_EQ(Starting(t, "dialog").size(), 3u);
    EXPECT_EQ(std::count(t.begin(), t.end(), std::string(kLocked)), 2);
    EXPECT_LT(Find(t, "user unlock E"), Find(t, kSuccess));
}

TEST_F(SessionTest, AnActOnADriveTheMachineLacksIsRefusedBeforeTheRun) {
    const std::vector<std::string> t =
        RunMachine(R"({"drives": [{"name": "E"}]})", {"ok+remove-disc@F"});
    EXPECT_EQ(exitCode_, 2);
    EXPECT_TRUE(t.empty());
    EXPECT_NE(errors_.find("no drive is named \"F\""), std::string::npos) << errors_;
}

}  // namespace
}  // namespace quiver::simapp
