// The end of an update: one completion per update, the outcome of every target drive, the
// drives read again, and the restart, the end of the program or the idle window that follow.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app_rig.h"

namespace quiver::apptest {
namespace {

using Kind = sim::Fault::Kind;

class CompletionTest : public AppRig {
  protected:
    void Flags(const char* reboot, const char* closeAp) {
        package_.Put(QUIVER_SLOT(reboot), reboot).Put(QUIVER_SLOT(close_ap), closeAp);
    }
    void AutoMode() { package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1"); }

    std::size_t CountStatus(const std::string& text) const {
        const std::vector<std::string> all = StatusAndDialogs();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), text));
    }
};

// The first of two workers to end leaves the screen as it is; the second completes the update.
TEST_F(CompletionTest, FirstOfTwoWorkersChangesNothing) {
    AddKmr(0);
    AddKmr(1);
    AutoMode();
    Flags("REBOOT=0", "CLOSEAP=1");

    // Drive F: programs only after the window has taken E:'s completion.
    struct Seen {
        bool firstTaken = false;
        bool timerOn = false;
        bool updateEnabled = true;
        std::string status;
        std::size_t dialogs = 0;
    } seen;
    std::atomic<bool> checked{false};
    drive(1).SetCommandObserver([&](const sim::LoggedCommand& c) {
        if (!IsProgramCommand(c) || checked.exchange(true)) {
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!seen.firstTaken && std::chrono::steady_clock::now() < deadline) {
            WindowThreadQueue::RunOnWindowThread([&] {
                if (window_ && window_->RunningWorkers() == 1) {
                    seen.firstTaken = true;
                    seen.timerOn = window_->UpdateRunning();
                    seen.updateEnabled = window_->cmdUpdate.Enabled();
                    seen.status = Label("lblMsg").Text();
                    seen.dialogs = app_->Events(EventKind::Dialog).size();
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    Open();
    app_->Run();

    ASSERT_TRUE(seen.firstTaken);
    EXPECT_TRUE(seen.timerOn);
    EXPECT_FALSE(seen.updateEnabled);
    EXPECT_TRUE(seen.status.empty() || seen.status.rfind("Programming", 0) == 0) << seen.status;
    EXPECT_EQ(seen.dialogs, 0u);

    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(CountStatus("Inquiry ..."), 1u);
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_EQ(drive(1).ProgramCount(), 1u);
    EXPECT_EQ(window_->RunningWorkers(), 0);
    EXPECT_TRUE(window_->AllSucceeded());
}

// Either of two drives failing fails the whole update: the first target as much as the last.
class OneFailureAmongTwoTest : public CompletionTest, public ::testing::WithParamInterface<int> {};

TEST_P(OneFailureAmongTwoTest, FailsTheWholeUpdate) {
    const int failing = GetParam();
    AddKmr(0);
    AddKmr(1);
    AutoMode();  // REBOOT=1 as built in: no restart after a failure
    sim::Fault readBack;
    readBack.kind = Kind::ReadBackDiffers;
    readBack.block = 0;
    readBack.attempt = 0;
    readBack.first = 1;
    readBack.count = 0;
    drive(failing).AddFault(readBack);
    Open();
    app_->Run();

    const std::vector<UiEvent> dialogs = app_->Events(EventKind::Dialog);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kFailure);
    EXPECT_EQ(dialogs[0].detail, "Error");
    EXPECT_FALSE(window_->AllSucceeded());
    EXPECT_EQ(drive(1 - failing).ProgramCount(), 1u);
    EXPECT_EQ(drive(failing).ProgramCount(), 0u);
    EXPECT_TRUE(machine_.Restarts().empty());
    EXPECT_TRUE(app_->Terminated());
    EXPECT_FALSE(Happened(EventKind::Idle));
}

INSTANTIATE_TEST_SUITE_P(FailingDrive, OneFailureAmongTwoTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 0 ? "First" : "Last";
                         });

TEST_F(CompletionTest, SuccessThenRestartAfterTheDialog) {
    AddKmr(0);
    std::size_t restartsDuringDialog = 99;
    answer_ = [&](const ui::headless::DialogRequest& request) {
        if (request.text == kSuccess) {
            restartsDuringDialog = machine_.Restarts().size();
        }
        return ui::DialogResult::Ok;
    };
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(restartsDuringDialog, 0u);
    const std::vector<sim::RestartRequest> restarts = machine_.Restarts();
    ASSERT_EQ(restarts.size(), 1u);
    EXPECT_EQ(restarts[0].flags, EWX_REBOOT | EWX_FORCE);
    EXPECT_TRUE(os_.ShutdownPrivilegeEnabled());
    EXPECT_TRUE(app_->Terminated());
    EXPECT_FALSE(Happened(EventKind::Idle));
}

TEST_F(CompletionTest, RefusedRestartStillEndsTheProgram) {
    AddKmr(0);
    machine_.os.restartRefused = true;
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    EXPECT_TRUE(app_->Terminated());
    EXPECT_FALSE(Happened(EventKind::Idle));
}

TEST_F(CompletionTest, SuccessWithCloseApEndsWithoutRestart) {
    AddKmr(0);
    Flags("REBOOT=0", "CLOSEAP=1");
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    EXPECT_TRUE(machine_.Restarts().empty());
    EXPECT_TRUE(app_->Terminated());
    EXPECT_FALSE(Happened(EventKind::Idle));
}

// Neither REBOOT nor CLOSEAP: idle again with the new revision shown, and a second update runs
// from the start of the bar.
TEST_F(CompletionTest, IdleAfterSuccessAndASecondUpdate) {
    AddKmr(0);
    Flags("REBOOT=0", "CLOSEAP=0");
    Open();
    ClickUpdate();
    std::size_t positionsBefore = 0;
    Then([&] {
        EXPECT_FALSE(window_->UpdateRunning());
        EXPECT_TRUE(window_->cmdUpdate.Enabled());
        EXPECT_TRUE(window_->cmdClose.Enabled());
        EXPECT_EQ(Label("lblOldFW").Text(), "QM0F");
        EXPECT_EQ(Label("lblNewFW").Text(), "QM0F");
        EXPECT_EQ(window_->cboDrives.Item(0).substr(36), "QM0F");
        EXPECT_EQ(Label("lblPercent").Text(), "0 %");
        EXPECT_EQ(Label("lblMsg").Text(), "");
        EXPECT_EQ(Label("lblMsg").GetFont().color, ui::kNavy);
        EXPECT_EQ(window_->pbar.Position(), 0);
        EXPECT_EQ(window_->pbar.Max(), 330);
        positionsBefore = Values(EventKind::ProgressPosition, "pbar").size();
        window_->cmdUpdate.UserClick();
        EXPECT_TRUE(window_->UpdateRunning());
        EXPECT_EQ(window_->pbar.Position(), 0);
        EXPECT_EQ(window_->pbar.Max(), 330);
    });
    app_->Run();

    EXPECT_EQ(DialogTexts(), (std::vector<std::string>{kSuccess, kSuccess}));
    EXPECT_EQ(drive(0).ProgramCount(), 2u);
    const std::vector<int> positions = Values(EventKind::ProgressPosition, "pbar");
    ASSERT_GT(positions.size(), positionsBefore);
    // The second update's ticks, if the window saw any before it ended, start again at 1.
    EXPECT_TRUE(positions[positionsBefore] == 1 || positions[positionsBefore] == 330);
    EXPECT_EQ(window_->pbar.Max(), 330);
    EXPECT_TRUE(Happened(EventKind::Idle));
    EXPECT_TRUE(machine_.Restarts().empty());
}

// The updated drive does not answer INQUIRY any more: the window keeps showing what it had.
TEST_F(CompletionTest, DriveSilentAfterProgrammingKeepsItsOldRevisionOnScreen) {
    AddKmr(0);
    Flags("REBOOT=0", "CLOSEAP=0");
    drive(0).SetCommandObserver([this](const sim::LoggedCommand& c) {
        if (IsProgramCommand(c)) {
            drive(0).AddFault(
                rig::MakeFault(Kind::SenseData, 0x12, 1, 0, sim::Sense{4, 0x44, 0x00}));
        }
    });
    Open();
    const std::size_t inquiriesBefore = CountSent(0x12);
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(drive(0).Revision(), "QM0F");
    EXPECT_GE(CountSent(0x12) - inquiriesBefore,
              static_cast<std::size_t>(AtapiDevice::kIdentityAttempts));
    EXPECT_EQ(Label("lblOldFW").Text(), "QM01");
    EXPECT_EQ(window_->cboDrives.Item(0).substr(36), "QM01");
    EXPECT_TRUE(window_->cmdUpdate.Enabled());
}

// The drive is read again after the update and must answer with the old or the new revision;
// another one means that the flash did not take, or took an image built for another revision.
TEST_F(CompletionTest, ThirdRevisionAfterTheUpdateFailsIt) {
    sim::DriveConfig config = rig::Kmr730t(false);
    config.revisionAfterProgram = "QM99";
    AddOptical('E', config);
    AddKmr(1);
    Flags("REBOOT=1", "CLOSEAP=0");
    // The user chooses the other drive while the first one is flashed: the flashed drive is
    // read all the same.
    std::atomic<bool> chose{false};
    drive(0).SetCommandObserver([&](const sim::LoggedCommand& c) {
        if (c.cdb[0] == 0x3C && !chose.exchange(true)) {
            WindowThreadQueue::RunOnWindowThread([this] { window_->cboDrives.UserChoose(1); });
        }
    });
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_TRUE(chose);
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kFailure});
    EXPECT_EQ(window_->cboDrives.Item(0).substr(36), "QM99");
    EXPECT_TRUE(machine_.Restarts().empty());
}

// A worker that ends while the disc dialog of a later drive is open is held until every worker
// of the update has been started: the update completes once, after both.
TEST_F(CompletionTest, WorkerEndingDuringALaterDiscDialogWaitsForTheOthers) {
    AddKmr(0);                           // empty: its worker starts at once
    AddKmr(1, "QM01", /*medium=*/true);  // a disc to remove
    AutoMode();
    Flags("REBOOT=0", "CLOSEAP=1");
    package_.Put(QUIVER_SLOT(chk_disc), "CHKDISC=1");

    Gate firstMayProgram;
    drive(0).SetCommandObserver([&](const sim::LoggedCommand& c) {
        if (IsProgramCommand(c)) {
            firstMayProgram.Wait();
        }
    });
    bool handedOver = false;
    bool inquiryDuringDialog = true;
    std::size_t dialogsDuringDialog = 99;
    answer_ = [&](const ui::headless::DialogRequest& request) {
        if (request.text == "Please remove the disc.") {
            firstMayProgram.Open();
            handedOver = WindowThreadQueue::WaitForPending(std::chrono::seconds(30));
            app_->ProcessMessages();
            EXPECT_EQ(drive(0).ProgramCount(), 1u);
            dialogsDuringDialog = app_->Events(EventKind::Dialog).size();
            inquiryDuringDialog = CountStatus("Inquiry ...") != 0;
            if (inquiryDuringDialog) {
                // The update was completed early: the target drive objects are gone while the
                // check goes on with one of them. Nothing safe is left to run.
                std::fprintf(stderr, "The update completed inside the disc dialog\n");
                std::abort();
            }
            drive(1).SetMedium(false);
        }
        return ui::DialogResult::Ok;
    };
    Open();
    ASSERT_FALSE(app_->Terminated());
    // The held completion was taken once both workers had been counted.
    EXPECT_EQ(window_->RunningWorkers(), 1);
    EXPECT_TRUE(window_->UpdateRunning());
    app_->Run();

    EXPECT_TRUE(handedOver);
    EXPECT_EQ(dialogsDuringDialog, 1u);  // the disc dialog itself
    EXPECT_FALSE(inquiryDuringDialog);
    EXPECT_EQ(DialogTexts(), (std::vector<std::string>{"Please remove the disc.", kSuccess}));
    EXPECT_EQ(CountStatus("Inquiry ..."), 1u);
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_EQ(drive(1).ProgramCount(), 1u);
    EXPECT_EQ(window_->RunningWorkers(), 0);
    EXPECT_TRUE(window_->AllSucceeded());
}

}  // namespace
}  // namespace quiver::apptest
