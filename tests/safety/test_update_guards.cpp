// The guards of an update on the emulated PC, read from quiver-sim's transcript of the drives'
// commands and the OS's locks: one updater per machine, the system held up, Ctrl+C in the
// console refused and each drive locked from before the first write until the last worker has
// ended, and a drive that another program holds left alone.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app_rig.h"
#include "simapp/machine_file.h"
#include "simapp/transcript.h"

namespace quiver::apptest {
namespace {

constexpr char kAnotherUpdater[] =
    "Another flash utility is already running on this computer, and it may be updating a drive "
    "now.\n\nLet it finish and close it, then run this utility again.";
constexpr char kFailure[] = "Unable to flash firmware. Please contact with your vendor !";

class UpdateGuardsTest : public AppRig {
  protected:
    UpdateGuardsTest() {
        package_.Put(QUIVER_SLOT(reboot), "REBOOT=0").Put(QUIVER_SLOT(close_ap), "CLOSEAP=0");
    }
    // Drives E and F, transcribed from now on.
    void TwoDrives() {
        AddKmr(0);
        AddKmr(1);
        simapp::MachineSpec names;
        names.drives = {{"E", {}, {}}, {"F", {}, {}}};
        transcript_.Watch(machine_, names);
    }
    // The first (or last) transcript line that starts with `start`; -1 when none does.
    int At(const std::string& start, bool last = false) {
        std::istringstream lines(out_.str());
        int found = -1;
        int i = 0;
        for (std::string line; std::getline(lines, line) && (last || found < 0); ++i) {
            found = line.rfind(start, 0) == 0 ? i : found;
        }
        return found;
    }
    bool NothingHeld() {
        const sim::Locks& locks = machine_.locks();
        return !locks.SystemRequired() && !locks.ShutdownBlocked() && locks.VolumeHolder(0) == 0 &&
               locks.VolumeHolder(1) == 0 && locks.ConsoleHandlers() == 0;
    }

    std::ostringstream out_;
    simapp::Transcript transcript_{out_};
};

TEST_F(UpdateGuardsTest, HeldFromBeforeTheFirstWriteUntilTheLastWorkerHasEnded) {
    TwoDrives();
    package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1");
    OpenAndRun();

    ASSERT_EQ(drive(0).ProgramCount(), 1u);
    ASSERT_EQ(drive(1).ProgramCount(), 1u);
    // The last WRITE BUFFER of each drive is its program command.
    const int firstWrite = std::min(At("scsi E 3B"), At("scsi F 3B"));
    const int lastWrite = std::max(At("scsi E 3B", true), At("scsi F 3B", true));
    for (const char* taken : {"execution-state 0x80000001", "shutdown-block \"Drive firmware",
                              "console-control-handler on"}) {
        EXPECT_GE(At(taken), 0) << taken;
        EXPECT_LT(At(taken), firstWrite) << taken;
    }
    // Each drive is locked before its own first write; a worker may start on E before F is
    // claimed.
    for (const char* drive : {"E", "F"}) {
        const std::string lock = std::string("volume-lock ") + drive + " on";
        EXPECT_GE(At(lock), 0) << lock;
        EXPECT_LT(At(lock), At(std::string("scsi ") + drive + " 3B")) << lock;
    }
    for (const char* given : {"volume-lock E off", "volume-lock F off", "shutdown-block off",
                              "console-control-handler off", "execution-state 0x80000000"}) {
        EXPECT_GT(At(given), lastWrite) << given;
    }
    // Given back on the thread that took them: nothing is held any more.
    EXPECT_TRUE(NothingHeld());
    EXPECT_GE(At("mutex \"Global\\\\QuiverFirmwareUpdate\" created"), 0);
    window_.reset();
    EXPECT_GE(At("mutex \"Global\\\\QuiverFirmwareUpdate\" closed"), 0);
}

// The system asks to end the session (log off, shut down) while the drives are flashed: the
// window says no; before and after the update it lets the session end.
TEST_F(UpdateGuardsTest, TheSessionMayNotEndWhileDrivesAreFlashed) {
    AddKmr(0);
    Open();
    auto& form = static_cast<ui::headless::HeadlessForm&>(window_->form());
    std::vector<bool> answers{form.SystemEndsSession()};
    app_->SetListener([&](const UiEvent& e) {
        // Update is greyed once the workers are started, before any of them can complete.
        if (e.kind == EventKind::ButtonEnabled && e.control == "cmdUpdate" &&
            e.values == std::vector<int>{0} && answers.size() == 1) {
            answers.push_back(form.SystemEndsSession());
        }
    });
    ClickUpdate();
    app_->Run();
    answers.push_back(form.SystemEndsSession());
    EXPECT_EQ(answers, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
}

// Ctrl+C and Ctrl+Break in the console while the drive is written (its first WRITE BUFFER and
// its program command) are refused with a line on standard error, and the update goes on to
// succeed; once it has ended they end the process again. Closing the console, logging off and
// shutting down are never refused: the system ends the process after them whatever it answers.
TEST_F(UpdateGuardsTest, CtrlCInTheConsoleDoesNotEndAFlash) {
    AddKmr(0);
    const std::vector<DWORD> events{CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
                                    CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT};
    auto deliverAll = [&] {
        std::vector<bool> handled;
        for (DWORD event : events) {
            handled.push_back(os_.DeliverConsoleEvent(event));
        }
        return handled;
    };
    const std::vector<bool> refused{true, true, false, false, false};
    const std::vector<bool> none(events.size(), false);

    EXPECT_EQ(deliverAll(), none);
    std::vector<std::vector<bool>> during;
    drive(0).SetCommandObserver([&](const sim::LoggedCommand& c) {
        if ((c.cdb[0] == 0x3B && during.empty()) || IsProgramCommand(c)) {
            during.push_back(deliverAll());
        }
    });
    ::testing::internal::CaptureStderr();
    Open();
    ClickUpdate();
    app_->Run();
    const std::string errors = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(during, (std::vector<std::vector<bool>>{refused, refused}));
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(deliverAll(), none);
    EXPECT_TRUE(NothingHeld());
    // One line for each refusal, whole.
    const std::string line = std::string(kEndingRefused) + "\n";
    EXPECT_EQ(errors, line + line + line + line);
}

// Another updater holds the machine's mutex: the program says so and ends before it opens a
// drive. On the Windows 95 line, which has no global namespace, the mutex is the plain name.
class SecondUpdaterTest : public UpdateGuardsTest,
                          public ::testing::WithParamInterface<std::pair<bool, const char*>> {};

TEST_P(SecondUpdaterTest, SaysSoAndEndsBeforeTouchingADrive) {
    machine_.os.ntFamily = GetParam().first;
    machine_.os.heldMutexes = {GetParam().second};
    AddKmr(0);
    OpenAndRun();
    const std::vector<UiEvent> dialogs = app_->Events(EventKind::Dialog);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kAnotherUpdater);
    EXPECT_EQ(dialogs[0].detail, "Error");
    EXPECT_TRUE(app_->Terminated());
    EXPECT_FALSE(window_->form().Showing());
    EXPECT_TRUE(drive(0).Log().empty());
    EXPECT_EQ(os_.OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Systems, SecondUpdaterTest,
                         ::testing::Values(std::make_pair(true, WindowsFlashGuards::kMutexName),
                                           std::make_pair(false,
                                                          WindowsFlashGuards::kLocalMutexName)),
                         [](const ::testing::TestParamInfo<std::pair<bool, const char*>>& info) {
                             return std::string(info.param.first ? "NtFamily" : "Win95Line");
                         });

// Another program has drive E to itself: E is not written to and the user is told which drive
// it is; F is flashed; the update fails, and everything taken is given back.
class BusyFirstDrive : public WindowsFlashGuards {
  public:
    Guarded ClaimDrive(HANDLE device) override {
        return ++claims_ == 1 ? Guarded{GuardResult::Busy, nullptr}
                              : WindowsFlashGuards::ClaimDrive(device);
    }

  private:
    int claims_ = 0;
};

TEST_F(UpdateGuardsTest, ADriveThatAnotherProgramHoldsIsNotFlashed) {
    TwoDrives();
    package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1");
    guards_ = std::make_shared<BusyFirstDrive>();
    OpenAndRun();

    const std::vector<std::string> dialogs = DialogTexts();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[0].rfind("The drive\n 0-0-0-0 E:Korvane DVDRW KMR-730T   QM01\nis in use", 0),
              0u)
        << dialogs[0];
    EXPECT_EQ(dialogs[1], kFailure);
    EXPECT_EQ(At("scsi E 3B"), -1);
    EXPECT_EQ(drive(1).ProgramCount(), 1u);
    EXPECT_TRUE(NothingHeld());
}

}  // namespace
}  // namespace quiver::apptest
