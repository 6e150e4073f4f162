// Start-up of the main window: the checks that end the program, the caption, the flags, the
// administrator reminder and the notice.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "app_rig.h"

namespace quiver::apptest {
namespace {

constexpr char kNoticeHead[] =
    "This flash utility only supports Korvane DVDRW KMR-730T drive.\n\n"
    "NOTICE : \n\n"
    "1> Please REMOVE disc and close all applications before running this utility !\n"
    "2> Don't turn off the system while flash is in progress. \n";
constexpr char kNoticeBattery[] =
    "3> Don't remove the adapter and battery during F/W reflash processing. \n";
constexpr char kNoticeTail[] = "\nDo you wish to continue ?";

class StartUpTest : public AppRig {
  protected:
    // Runs program entry as the executable does; the window is gone afterwards.
    int Launch() { return RunQuiver(*app_, Options()); }

    // The program ended during start-up: asked to terminate, window never shown.
    void ExpectEndedUnseen() {
        EXPECT_TRUE(app_->Terminated());
        EXPECT_TRUE(Happened(EventKind::Terminate));
        EXPECT_FALSE(Happened(EventKind::FormShown));
        EXPECT_FALSE(Happened(EventKind::Idle));
    }
};

TEST_F(StartUpTest, NoFirmwareEndsBeforeAnyDriveIsTouched) {
    AddKmr(0);
    package_.Put(QUIVER_SLOT(how_many_bin), "HOW_MANY_BIN=0");
    EXPECT_EQ(Launch(), 0);
    ASSERT_EQ(app_->Events(EventKind::Dialog).size(), 1u);
    const UiEvent dialog = app_->Events(EventKind::Dialog)[0];
    EXPECT_EQ(dialog.text, "No F/W in executable !");
    EXPECT_EQ(dialog.detail, "Error");
    EXPECT_EQ(dialog.values, (std::vector<int>{static_cast<int>(ui::DialogKind::Error),
                                               static_cast<int>(ui::DialogButtons::Ok)}));
    ExpectEndedUnseen();
    EXPECT_TRUE(drive(0).Log().empty());  // no scan
}

TEST_F(StartUpTest, DeviceObjectFailingShowsThePlainErrorBox) {
    AddKmr(0);
    makeDevice_ = [](bool) { return std::unique_ptr<AtapiDevice>(); };
    EXPECT_EQ(Launch(), 0);
    const std::vector<UiEvent> boxes = app_->Events(EventKind::MessageBox);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Device object initialize failed !");
    EXPECT_EQ(boxes[0].detail, "Error ...");
    EXPECT_EQ(boxes[0].values, std::vector<int>{static_cast<int>(MB_ICONERROR | MB_OK)});
    EXPECT_FALSE(Happened(EventKind::Dialog));
    ExpectEndedUnseen();
}

TEST_F(StartUpTest, NoMatchedDriveListsEveryDetectedDrive) {
    AddOther(0);
    AddKmr(1, "QM10");  // above the admitted range
    EXPECT_EQ(Launch(), 0);
    ASSERT_EQ(DialogTexts().size(), 1u);
    EXPECT_EQ(DialogTexts()[0],
              "No matched drive detected !\n"
              "This utility is only for Korvane DVDRW KMR-730T drive.\n\n"
              "Detected drives :\n"
              " 0-0-0-0 E:Other   CD-RW DRIVE 52X  1.00\n"
              " 0-0-1-0 F:Korvane DVDRW KMR-730T   QM10\n");
    EXPECT_EQ(app_->Events(EventKind::Dialog)[0].detail, "Error");
    ExpectEndedUnseen();
}

TEST_F(StartUpTest, NoDriveAtAllEndsTheListEmpty) {
    EXPECT_EQ(Launch(), 0);
    ASSERT_EQ(DialogTexts().size(), 1u);
    const std::string text = DialogTexts()[0];
    const std::string tail = "Detected drives :\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    ExpectEndedUnseen();
}

TEST_F(StartUpTest, NoticeAnsweredNoEndsTheProgram) {
    AddKmr(0);
    package_.Put(QUIVER_SLOT(warning), "WARNING=1");
    answer_ = [](const ui::headless::DialogRequest&) { return ui::DialogResult::No; };
    EXPECT_EQ(Launch(), 0);
    const std::vector<UiEvent> dialogs = app_->Events(EventKind::Dialog);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, std::string(kNoticeHead) + kNoticeTail);
    EXPECT_EQ(dialogs[0].values, (std::vector<int>{static_cast<int>(ui::DialogKind::Warning),
                                                   static_cast<int>(ui::DialogButtons::YesNo)}));
    ExpectEndedUnseen();
    EXPECT_EQ(Writes(0), 0u);
}

TEST_F(StartUpTest, NoticeWithBatteryLineAnsweredYesOpensTheWindow) {
    AddKmr(0);
    package_.Put(QUIVER_SLOT(warning), "WARNING=1");
    package_.Put(QUIVER_SLOT(nb_warning), "NBWARNING=1");
    Open();
    EXPECT_EQ(DialogTexts(),
              std::vector<std::string>{std::string(kNoticeHead) + kNoticeBattery + kNoticeTail});
    EXPECT_FALSE(app_->Terminated());
    EXPECT_TRUE(window_->form().Showing());
    // The frame no longer closes the window: separator and Close are gone.
    auto& form = dynamic_cast<ui::headless::HeadlessForm&>(window_->form());
    EXPECT_FALSE(form.FrameCanClose());
    EXPECT_FALSE(form.UserCloseFrame());
    EXPECT_FALSE(app_->Terminated());
    EXPECT_TRUE(window_->cmdUpdate.Enabled());
    EXPECT_TRUE(window_->cmdClose.Enabled());
}

TEST_F(StartUpTest, CloseEndsTheIdleProgramWithoutTouchingTheDrive) {
    AddKmr(0);
    Open();
    drive(0).ClearLog();
    Then([this] { window_->cmdClose.UserClick(); });
    app_->Run();
    EXPECT_TRUE(app_->Terminated());
    EXPECT_FALSE(Happened(EventKind::Idle));
    EXPECT_EQ(Writes(0), 0u);
}

TEST_F(StartUpTest, AdministratorReminderOnNtGoesOn) {
    AddKmr(0);
    package_.Put(QUIVER_SLOT(admin), "ADMIN=1");
    Open();
    ASSERT_EQ(app_->Events(EventKind::Dialog).size(), 1u);
    const UiEvent dialog = app_->Events(EventKind::Dialog)[0];
    EXPECT_EQ(dialog.text, "User must be administrator priority !");
    EXPECT_EQ(dialog.detail, "Warning");
    EXPECT_FALSE(app_->Terminated());
    EXPECT_TRUE(window_->form().Showing());
}

TEST_F(StartUpTest, AdministratorReminderNotOnThe95Line) {
    machine_.os.ntFamily = false;
    AddKmr(0);
    machine_.AddAspiDevice(0, 0, 0, 0);
    package_.Put(QUIVER_SLOT(admin), "ADMIN=1");
    Open();
    EXPECT_TRUE(DialogTexts().empty());
    EXPECT_FALSE(app_->Terminated());
    EXPECT_TRUE(window_->cmdUpdate.Enabled());
}

// Flags ending in 2: the non-zero ones are on, the exactly-1 ones are off.
TEST_F(StartUpTest, FlagValueTwoSwitchesOnlyTheNonZeroFlags) {
    AddKmr(0, "QM0F", /*medium=*/true);  // up to date, with a disc in
    package_.Put(QUIVER_SLOT(n2o_message), "N2OMESSAGE=2")
        .Put(QUIVER_SLOT(chk_disc), "CHKDISC=2")
        .Put(QUIVER_SLOT(boot_code), "BOOTCODE=2")
        .Put(QUIVER_SLOT(reboot), "REBOOT=2")
        .Put(QUIVER_SLOT(auto_mode), "AUTOMODE=2")
        .Put(QUIVER_SLOT(close_ap), "CLOSEAP=2")
        .Put(QUIVER_SLOT(warning), "WARNING=2")
        .Put(QUIVER_SLOT(nb_warning), "NBWARNING=2");
    Open();
    // The update started inside start-up, before the window was shown.
    EXPECT_TRUE(window_->UpdateRunning());
    app_->Run();

    // No notice, no up-to-date question, no disc check: only the success dialog.
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{"Firmware has been updated successfully !"});
    for (const std::string& s : StatusAndDialogs()) {
        EXPECT_NE(s, "Check Disc & Tray Status...");
    }
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_TRUE(drive(0).LastProgramWithBootCode());
    ASSERT_EQ(machine_.Restarts().size(), 1u);  // REBOOT wins over CLOSEAP
    EXPECT_TRUE(app_->Terminated());
}

TEST_F(StartUpTest, FlagEndingInALetterCountsAsZero) {
    AddKmr(0);
    package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=Y")
        .Put(QUIVER_SLOT(boot_code), "BOOTCODE=x")
        .Put(QUIVER_SLOT(warning), "WARNING=A");
    Open();
    EXPECT_EQ(window_->Flags().auto_mode, 0);
    EXPECT_EQ(window_->Flags().boot_code, 0);
    EXPECT_TRUE(DialogTexts().empty());
    EXPECT_FALSE(window_->UpdateRunning());
    EXPECT_EQ(Writes(0), 0u);
}

TEST_F(StartUpTest, AutoModeUpdatesBeforeTheWindowIsSeen) {
    AddKmr(0);
    package_.Put(QUIVER_SLOT(auto_mode), "AUTOMODE=1").Put(QUIVER_SLOT(reboot), "REBOOT=0");
    package_.Put(QUIVER_SLOT(close_ap), "CLOSEAP=1");
    EXPECT_EQ(RunQuiver(*app_, Options()), 0);
    const auto& log = app_->Log();
    auto at = [&](EventKind kind) {
        return std::find_if(log.begin(), log.end(),
                            [&](const UiEvent& e) { return e.kind == kind; }) -
               log.begin();
    };
    ASSERT_TRUE(Happened(EventKind::FormShown));
    ASSERT_TRUE(Happened(EventKind::TimerEnabled));
    EXPECT_LT(at(EventKind::TimerEnabled), at(EventKind::FormShown));
    EXPECT_EQ(drive(0).ProgramCount(), 1u);
    EXPECT_TRUE(machine_.Restarts().empty());
}

// --- The caption ---

struct CaptionCase {
    const char* name;
    const char* title;
    const char* caption;
};

void PrintTo(const CaptionCase& c, std::ostream* os) {
    *os << "title \"" << c.title << "\" gives caption \"" << c.caption << "\"";
}

class StartUpCaptionTest : public StartUpTest, public ::testing::WithParamInterface<CaptionCase> {};

TEST_P(StartUpCaptionTest, TitleOrDefaultCaption) {
    AddKmr(0);
    package_.Put(QUIVER_SLOT(title), GetParam().title);
    Open();
    EXPECT_EQ(window_->form().Caption(), GetParam().caption);
}

INSTANTIATE_TEST_SUITE_P(
    Titles, StartUpCaptionTest,
    ::testing::Values(CaptionCase{"PackageTitle", "Flash Program for Korvane DVDRW KMR-730T",
                                  "Flash Program for Korvane DVDRW KMR-730T"},
                      CaptionCase{"Placeholder", "APP_TITLE_HERE", "Quiver v2.0.4"},
                      CaptionCase{"PlaceholderFollowedByMore", "APP_TITLE_HERE and more",
                                  "Quiver v2.0.4"},
                      CaptionCase{"PlaceholderInOtherCase", "App_Title_Here", "App_Title_Here"},
                      CaptionCase{"PlaceholderCut", "APP_TITLE_HER", "APP_TITLE_HER"},
                      CaptionCase{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<CaptionCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quiver::apptest
