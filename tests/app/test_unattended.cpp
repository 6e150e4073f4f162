// The window without a person (the console toolkit) on the emulated PC, the history it writes,
// and the reading of a history with damaged lines.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "app/unattended_run.h"
#include "app/update_record.h"
#include "app_rig.h"
#include "ui/console/console_toolkit.h"

namespace quiver::apptest {
namespace {

class UnattendedTest : public AppRig {
  protected:
    UnattendedTest() {
        history_ = (std::filesystem::temp_directory_path() /
                    ("quiver-unattended-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name()) /
                    "history.jsonl")
                       .string();
        std::filesystem::remove_all(std::filesystem::path(history_).parent_path());
        package_.Put(QUIVER_SLOT(reboot), "REBOOT=0");
    }
    ~UnattendedTest() override {
        std::filesystem::remove_all(std::filesystem::path(history_).parent_path());
    }

    int Run(UnattendedSettings settings = {}) {
        TQuiverMain::Options options = Options();
        options.history = std::make_shared<FileHistoryStore>(history_);
        return RunUnattended(settings, options, out_, err_);
    }

    std::size_t Lines(const std::string& prefix) const {
        std::istringstream in(out_.str());
        std::size_t n = 0;
        for (std::string line; std::getline(in, line);) {
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }

    std::string History() const {
        std::ifstream in(history_);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string history_;
    std::ostringstream out_;
    std::ostringstream err_;
};

// A disc that nobody can take out fails its drive at once, after one dialog; the other drive is
// updated all the same, and the run reports the failure.
TEST_F(UnattendedTest, DiscInADriveFailsThatDriveAtOnce) {
    package_.Put(QUIVER_SLOT(chk_disc), "CHKDISC=1");
    AddKmr(0, "QM01", /*medium=*/true);
    AddKmr(1);
    EXPECT_EQ(Run(), kExitFailed);
    EXPECT_EQ(drive(0).ProgramCount(), 0u);
    EXPECT_EQ(drive(1).ProgramCount(), 1u);
    EXPECT_EQ(Lines("dialog kind=warning caption=Warning text=\"Please remove the disc.\""), 1u);
    EXPECT_EQ(Lines("result drive=E: address=0-0-0-0 result=failed code=42"), 1u);
    EXPECT_EQ(Lines("result drive=F: address=0-0-1-0 result=updated code=0"), 1u);
    EXPECT_EQ(Lines("exit code=1"), 1u);
}

// Only an up-to-date drive is left out when the package asks about it; the rest is updated.
TEST_F(UnattendedTest, UpToDateDriveIsLeftOutUnlessForced) {
    package_.Put(QUIVER_SLOT(n2o_message), "N2OMESSAGE=1");
    AddKmr(0, "QM0F");
    AddKmr(1, "QM01");
    EXPECT_EQ(Run(), kExitUpdated);
    EXPECT_EQ(drive(0).ProgramCount(), 0u);
    EXPECT_EQ(drive(1).ProgramCount(), 1u);
    EXPECT_EQ(Lines("skipped drive=E:"), 1u);
}

// The record of the attempt is on the disk before the drive is told to program its flash.
TEST_F(UnattendedTest, HistoryHoldsTheAttemptBeforeTheProgramCommand) {
    AddKmr(0);
    std::atomic<bool> recorded{false};
    drive(0).SetCommandObserver([&](const sim::LoggedCommand& c) {
        if (IsProgramCommand(c)) {
            recorded = History().find("\"state\":\"programming\"") != std::string::npos;
        }
    });
    EXPECT_EQ(Run(), kExitUpdated);
    EXPECT_TRUE(recorded);
    const std::string history = History();
    EXPECT_NE(history.find("\"state\":\"ended\""), std::string::npos);
    EXPECT_NE(history.find("\"serial\":\""), std::string::npos);
}

// --- Names of drives ---

TEST(DriveNamed, AddressLetterAndLinuxNames) {
    DriveRecord r{};
    r.in_use = 1;
    r.adapter = 1;
    std::snprintf(r.root_path, sizeof r.root_path, "E:\\");
    for (const char* name : {"1-0-0-0", "E", "e:", "E:\\"}) {
        EXPECT_TRUE(DriveNamed(r, name)) << name;
    }
    for (const char* name : {"1-0-0", "F", "E:\\x", "", "sr15", "0-1-0-0"}) {
        EXPECT_FALSE(DriveNamed(r, name)) << name;
    }
    std::snprintf(r.device_name, sizeof r.device_name, "sr10");  // named by the system
    EXPECT_TRUE(DriveNamed(r, "sr10"));
    EXPECT_TRUE(DriveNamed(r, "/dev/sr10"));
    EXPECT_EQ(DriveName(r), "sr10");
    for (const char* name : {"sr1", "SR10", "E", "sr010", "/dev/sr1", "/sr10"}) {
        EXPECT_FALSE(DriveNamed(r, name)) << name;
    }
    r.device_name[0] = '\0';
    r.root_path[0] = '\0';  // found through the ASPI manager: no name but its address
    EXPECT_FALSE(DriveNamed(r, ":"));
    EXPECT_TRUE(DriveNamed(r, "1-0-0-0"));
}

// --- Reading the history ---

TEST(PrintHistory, DamagedLinesHideNothingAndAnUnendedUpdateIsInterrupted) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("quiver-print-history-" + std::to_string(::getpid()) + ".jsonl"))
                                 .string();
    {
        std::ofstream f(path, std::ios::trunc);
        f << R"({"update":"a","state":"programming","address":"1-0-0-0","revisionBefore":"QM01","revisionNew":"QM0F","attempts":1})"
          << "\n"
          << "{\"update\":\"b\",\"sta\n"  // torn
          << R"({"update":"c","state":"ended","updated":"yes","result":0})"
          << "\n"  // wrong type
          << "[1,2]\n"
          << R"({"update":"d","state":"programming","revisionNew":"QM0F"})"
          << "\n"
          << R"({"update":"d","state":"ended","updated":false,"result":42,"revisionAfter":"QM01","attempts":3,"failedBlocks":[[7],[7],[]]})"
          << "\r\n";
    }
    FileHistoryStore store(path);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(PrintHistory(store, false, out, err), 0);
    const std::string text = out.str();
    EXPECT_NE(text.find("QM01 -> QM0F  interrupted while programming, attempts 1"),
              std::string::npos);
    EXPECT_NE(text.find("-> QM01  failed (code 42), attempts 3, blocks failed [[7],[7],[]]"),
              std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(err.str().find(":2: not a history record"), std::string::npos);
    EXPECT_NE(err.str().find(":4: not a history record"), std::string::npos);
    EXPECT_NE(err.str().find("update c is not whole"), std::string::npos);

    std::ostringstream json;
    EXPECT_EQ(PrintHistory(store, true, json, err), 0);
    const std::string stored = json.str();
    EXPECT_EQ(std::count(stored.begin(), stored.end(), '\n'), 4);
    std::filesystem::remove(path);
    EXPECT_EQ(PrintHistory(store, false, out, err), 1);
}

// --- Lines of the console ---

TEST(ConsoleLines, TextsAreQuotedAndJsonIsValidUtf8) {
    const ui::RunEvent e{"x",
                         {{"plain", "QM01"},
                          {"blank", "a b"},
                          {"empty", ""},
                          {"odd", "q\"\\\n\x01\xe9"},
                          {"n", "42", true}}};
    EXPECT_EQ(ui::console::TextLine(e),
              "x plain=QM01 blank=\"a b\" empty=\"\" odd=\"q\\\"\\\\\\n\x01\xe9\" n=42");
    EXPECT_EQ(ui::console::JsonLine(e),
              "{\"event\":\"x\",\"plain\":\"QM01\",\"blank\":\"a b\",\"empty\":\"\","
              "\"odd\":\"q\\\"\\\\\\n\\u0001\\u00e9\",\"n\":42}");
}

}  // namespace
}  // namespace quiver::apptest
