// The update workflow: which drives are flashed, the up-to-date question, drive objects that
// cannot be had, and the disc and tray check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app_rig.h"

namespace quiver::apptest {
namespace {

using Kind = sim::Fault::Kind;

constexpr char kUpToDate[] =
    "Your drive's Firmware is already the most updated !\n Do you wish to continue ?";

// Updates end the program after success, without a restart.
class UpdateTest : public AppRig {
  protected:
    UpdateTest() {
        package_.Put(QUIVER_SLOT(reboot), "REBOOT=0").Put(QUIVER_SLOT(close_ap), "CLOSEAP=1");
    }
};

TEST_F(UpdateTest, UpToDateDriveAnsweredYesIsFlashedAgain) {
    AddKmr(0, "QM0F");
    package_.Put(QUIVER_SLOT(n2o_message), "N2OMESSAGE=1");
    Open();
    ClickUpdate();
    app_->Run();
    const std::vector<UiEvent> dialogs = app_->Events(EventKind::Dialog);
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[0].text, kUpToDate);
    EXPECT_EQ(dialogs[0].values, (std::vector<int>{static_cast<int>(ui::DialogKind::Warning),
                                                   static_cast<int>(ui::DialogButtons::YesNo)}));
    EXPECT_EQ(dialogs[1].text, kSuccess);
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_EQ(drive(0).FlashContents(), package_.ImageOfBank1());
}

TEST_F(UpdateTest, UpToDateDriveAnsweredNoEndsWithNothingSent) {
    AddKmr(0, "QM0F");
    package_.Put(QUIVER_SLOT(n2o_message), "N2OMESSAGE=1");
    answer_ = [](const ui::headless::DialogRequest&) { return ui::DialogResult::No; };
    Open();
    drive(0).ClearLog();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kUpToDate});
    EXPECT_TRUE(app_->Terminated());
    EXPECT_FALSE(Happened(EventKind::Idle));
    EXPECT_EQ(Writes(0), 0u);
    EXPECT_FALSE(Happened(EventKind::TimerEnabled));
    EXPECT_EQ(window_->RunningWorkers(), 0);
}

TEST_F(UpdateTest, UpToDateWithoutTheQuestionFlagAsksNothing) {
    AddKmr(0, "QM0F");
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
}

TEST_F(UpdateTest, DriveNotUpToDateIsNotAskedAbout) {
    AddKmr(0, "QM01");
    package_.Put(QUIVER_SLOT(n2o_message), "N2OMESSAGE=1");
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
}

// Five drives, three of them admitted: three targets in table order, the others untouched, and
// afterwards every drive is read again.
TEST_F(UpdateTest, AutoModeFlashesEveryAllowedDriveAndRereadsAll) {
    AddKmr(0, "QM01");
    AddOther(1);
    AddKmr(2, "QM05");
    AddKmr(3, "QM10");
    AddKmr(4, "QM0F");  // up to date: flashed again without a question
    package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1")
        .Put(QUIVER_SLOT(n2o_message), "N2OMESSAGE=1");
    Open();
    EXPECT_EQ(window_->TargetCount(), 3);
    EXPECT_EQ(window_->RunningWorkers(), 3);
    std::vector<std::size_t> inquiries;
    for (int i = 0; i < 5; ++i) {
        inquiries.push_back(CountSent(0x12, i));
    }
    app_->Run();

    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    for (int i : {0, 2, 4}) {
        EXPECT_EQ(drive(i).ProgramCount(), 1u) << i;
        EXPECT_EQ(drive(i).Revision(), "QM0F") << i;
    }
    for (int i : {1, 3}) {
        EXPECT_EQ(Writes(i), 0u) << i;
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_GT(CountSent(0x12, i), inquiries[static_cast<std::size_t>(i)]) << i;
    }
    // The list shows the new revisions; the first allowed drive is selected again.
    EXPECT_EQ(window_->cboDrives.Item(0).substr(36), "QM0F");
    EXPECT_EQ(window_->cboDrives.Item(2).substr(36), "QM0F");
    EXPECT_EQ(window_->cboDrives.Item(3).substr(36), "QM10");
    EXPECT_EQ(window_->cboDrives.ItemIndex(), 0);
    EXPECT_EQ(window_->Device()->SelectedIndex(), 0);
    EXPECT_EQ(window_->RunningWorkers(), 0);
}

// Whatever the scan leaves in the table, a drive gets one worker: here a second record of the
// first drive, which the scan would have merged, is slipped in.
TEST_F(UpdateTest, AutoModeNeverStartsTwoWorkersOnOneDrive) {
    AddKmr(0);
    AddKmr(1);
    package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1");
    makeDevice_ = [](bool scan) {
        auto device = std::make_unique<AtapiDevice>(scan);
        if (scan && device->RecordCount() == 2) {
            device->Records()[1] = device->Records()[0];
        }
        return device;
    };
    OpenAndRun();
    EXPECT_EQ(window_->TargetCount(), 1);
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_EQ(Writes(1), 0u);
}

// A drive the package does not admit is chosen: Update is disabled, and the handler run all
// the same starts nothing and sends the drives nothing.
TEST_F(UpdateTest, RefusedDriveChosenGetsNothing) {
    AddKmr(0);
    AddOther(1);
    Open();
    Then([this] {
        window_->cboDrives.UserChoose(1);
        EXPECT_FALSE(window_->cmdUpdate.Enabled());
        drive(0).ClearLog();
        drive(1).ClearLog();
        window_->cmdUpdateClick(nullptr);
    });
    app_->Run();
    EXPECT_TRUE(drive(0).Log().empty());
    EXPECT_TRUE(drive(1).Log().empty());
    EXPECT_TRUE(DialogTexts().empty());
    EXPECT_FALSE(Happened(EventKind::TimerEnabled));
    EXPECT_TRUE(Happened(EventKind::Idle));
}

TEST_F(UpdateTest, TargetObjectFailingStartsNoWorker) {
    AddKmr(0);
    int made = 0;
    makeDevice_ = [&made](bool scan) {
        ++made;
        return scan ? std::make_unique<AtapiDevice>(true) : std::unique_ptr<AtapiDevice>();
    };
    Open();
    drive(0).ClearLog();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(made, 2);
    EXPECT_TRUE(DialogTexts().empty());
    EXPECT_FALSE(Happened(EventKind::TimerEnabled));
    EXPECT_EQ(Writes(0), 0u);
    EXPECT_TRUE(window_->cmdUpdate.Enabled());
    EXPECT_TRUE(window_->cmdClose.Enabled());
    EXPECT_EQ(window_->RunningWorkers(), 0);
    EXPECT_TRUE(Happened(EventKind::Idle));  // the window stayed idle
}

// The target's own open of the drive fails: nothing is sent, and the update is not reported
// as a success.
TEST_F(UpdateTest, TargetThatCannotOpenItsDriveFailsTheUpdate) {
    AddKmr(0);
    Open();
    machine_.letters[1].openFails = true;  // E:, after C:
    drive(0).ClearLog();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kFailure});
    EXPECT_EQ(Writes(0), 0u);
    EXPECT_TRUE(app_->Terminated());
}

// --- The disc and tray check ---

class DiscCheckTest : public UpdateTest {
  protected:
    DiscCheckTest() { package_.Put(QUIVER_SLOT(chk_disc), "CHKDISC=1"); }

    // What lblMsg and the dialogs showed before the flash: up to the first programming tick, or
    // the completion's re-read where a quick download left no tick.
    std::vector<std::string> CheckSteps() const {
        std::vector<std::string> out;
        for (const std::string& s : StatusAndDialogs()) {
            if (s.rfind("Programming", 0) == 0 || s == "Inquiry ...") {
                break;
            }
            out.push_back(s);
        }
        return out;
    }

    std::size_t Ejects(int driveIndex) {
        std::size_t n = 0;
        for (const sim::LoggedCommand& c : Sent(0x1B, driveIndex)) {
            n += (c.cdb[4] & 0x03) == 0x02 ? 1 : 0;
        }
        return n;
    }
};

TEST_F(DiscCheckTest, EmptyDriveOnlyChecks) {
    AddKmr(0);
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(CheckSteps(), std::vector<std::string>{"Check Disc & Tray Status..."});
    EXPECT_EQ(Ejects(0), 0u);
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kSuccess});
}

TEST_F(DiscCheckTest, DiscInTrayThatOpensIsRemovedByTheUser) {
    AddKmr(0, "QM01", /*medium=*/true);
    answer_ = [this](const ui::headless::DialogRequest& request) {
        if (request.text == "Please remove the disc.") {
            EXPECT_TRUE(drive(0).TrayOpen());
            drive(0).SetMedium(false);
        }
        return ui::DialogResult::Ok;
    };
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(CheckSteps(), (std::vector<std::string>{"Check Disc & Tray Status...", "Tray Out ...",
                                                      "[Please remove the disc.]", "Tray In ...",
                                                      "Waiting Drive Ready ..."}));
    EXPECT_EQ(Ejects(0), 1u);
    EXPECT_FALSE(drive(0).TrayOpen());
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
}

// An open tray with a disc on it: closing it spins the disc up (a slow drive: 100 s), then the
// disc is found and has to come out.
TEST_F(DiscCheckTest, OpenTrayWithDiscIsClosedThenEmptied) {
    sim::DriveConfig config = rig::Kmr730t(/*medium=*/true);
    config.trayOpen = true;
    config.loadReadySeconds = 100.0;
    AddOptical('E', config);
    answer_ = [this](const ui::headless::DialogRequest& request) {
        if (request.text == "Please remove the disc.") {
            drive(0).SetMedium(false);
        }
        return ui::DialogResult::Ok;
    };
    Open();
    const double emulatedStart = machine_.clock.NowSeconds();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(CheckSteps(), (std::vector<std::string>{"Check Disc & Tray Status...", "Tray In ...",
                                                      "Waiting Drive Ready ...", "Tray Out ...",
                                                      "[Please remove the disc.]", "Tray In ...",
                                                      "Waiting Drive Ready ..."}));
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    // The spin-up is waited for on the emulated clock.
    EXPECT_GE(machine_.clock.NowSeconds() - emulatedStart, 100.0);
}

TEST_F(DiscCheckTest, TrayLockedByAnotherProgramWarnsInEveryPass) {
    AddKmr(0, "QM01", /*medium=*/true);
    drive(0).SetLockedByOtherProgram(true);
    constexpr char kLocked[] =
        "Disc detected in drive. Unable to eject the disc , maybe locked by other "
        "program\n\nPlease remove the disc manually.";
    int warnings = 0;
    answer_ = [&](const ui::headless::DialogRequest& request) {
        if (request.text == kLocked && ++warnings == 3) {
            drive(0).SetLockedByOtherProgram(false);
            drive(0).SetMedium(false);
        }
        return ui::DialogResult::Ok;
    };
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(warnings, 3);
    EXPECT_EQ(CountDialogs("Please remove the disc."), 0u);
    const std::vector<std::string> steps = CheckSteps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "Tray Out ..."), 3);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "Check Disc & Tray Status..."), 1);
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_EQ(DialogTexts().back(), kSuccess);
}

TEST_F(DiscCheckTest, OpenEmptyTrayIsClosedWithoutEjecting) {
    sim::DriveConfig config = rig::Kmr730t(/*medium=*/false);
    config.trayOpen = true;
    AddOptical('E', config);
    Open();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(CheckSteps(), (std::vector<std::string>{"Check Disc & Tray Status...", "Tray In ...",
                                                      "Waiting Drive Ready ..."}));
    EXPECT_EQ(Ejects(0), 0u);
    EXPECT_FALSE(drive(0).TrayOpen());
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
}

TEST_F(DiscCheckTest, TrayThatStaysOpenAsksToPushItIn) {
    sim::DriveConfig config = rig::Kmr730t(/*medium=*/false);
    config.trayOpen = true;
    AddOptical('E', config);
    Open();
    // The first load the check sends fails.
    drive(0).AddFault(rig::MakeFault(Kind::SenseData, 0x1B, 1, 1, sim::Sense{4, 0x44, 0}));
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(CheckSteps(),
              (std::vector<std::string>{"Check Disc & Tray Status...", "Tray In ...",
                                        "Waiting Drive Ready ...", "[Please push the tray in.]",
                                        "Tray In ...", "Waiting Drive Ready ..."}));
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
}

// A disc that nobody takes out: the check gives the drive up instead of asking for ever, and
// the update fails without anything sent to the drive.
TEST_F(DiscCheckTest, DiscNeverRemovedGivesTheDriveUp) {
    AddKmr(0, "QM01", /*medium=*/true);
    drive(0).SetLockedByOtherProgram(true);
    Open();
    drive(0).ClearLog();
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(
        CountDialogs("Disc detected in drive. Unable to eject the disc , maybe locked by other "
                     "program\n\nPlease remove the disc manually."),
        static_cast<std::size_t>(TQuiverMain::kMaxDiscCheckPasses));
    const std::vector<std::string> steps = CheckSteps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "Check Disc & Tray Status..."), 1);
    EXPECT_EQ(DialogTexts().back(), kFailure);
    EXPECT_EQ(Writes(0), 0u);
    EXPECT_TRUE(app_->Terminated());
}

}  // namespace
}  // namespace quiver::apptest
