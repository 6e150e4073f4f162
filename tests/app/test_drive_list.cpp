// The drive list: its lines, the preselected drive and what choosing a drive shows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app_rig.h"

namespace quiver::apptest {
namespace {

class DriveListTest : public AppRig {};

TEST_F(DriveListTest, LineOfALetterDrive) {
    AddOptical('E', rig::Kmr730t(), /*port=*/1);
    Open();
    const std::string line = " 1-0-0-0 E:Korvane DVDRW KMR-730T   QM01";
    EXPECT_EQ(line.size(), 40u);
    ASSERT_EQ(window_->cboDrives.ItemCount(), 1);
    EXPECT_EQ(window_->cboDrives.Item(0), line);
    EXPECT_EQ(window_->DriveListText(), line + "\n");
    EXPECT_EQ(window_->cboDrives.ItemIndex(), 0);
    EXPECT_EQ(Label("lblOldFW").Text(), "QM01");
    EXPECT_EQ(Label("lblNewFW").Text(), "QM0F");
    EXPECT_EQ(Label("lblUpdateMsg").Text(), "It will be updated from");
    EXPECT_TRUE(window_->cmdUpdate.Enabled());
    EXPECT_EQ(window_->Device()->SelectedIndex(), 0);
}

TEST_F(DriveListTest, LineFieldsInTheirOrderAndWidths) {
    DriveRecord r{};
    std::memcpy(r.identity, "Korvane DVDRW KMR-730T  ", 24);
    std::memcpy(r.revision, "QM1", 3);
    std::memcpy(r.root_path, "G:\\", 3);
    r.adapter = 12;
    r.path_id = 2;
    r.target_id = 3;
    r.lun = 4;
    r.in_use = 1;
    // Adapter, path, target, LUN; two characters of the root; revision right-aligned.
    EXPECT_EQ(DriveListLine(r), "12-2-3-4 G:Korvane DVDRW KMR-730T    QM1");

    // A short identity is right-aligned in its 24 columns.
    std::memset(r.identity, 0, sizeof r.identity);
    std::memcpy(r.identity, "ABC", 3);
    EXPECT_EQ(DriveListLine(r), "12-2-3-4 G:" + std::string(21, ' ') + "ABC  QM1");
}

// A drive the system names itself: the name in place of the root, as wide as the list's widest,
// a blank, then the identity or why the drive cannot be opened.
TEST_F(DriveListTest, LineOfANamedDrive) {
    DriveRecord r{};
    std::memcpy(r.identity, "Korvane DVDRW KMR-730T  ", 24);
    std::memcpy(r.revision, "QM01", 4);
    std::memcpy(r.device_name, "sr0", 3);
    r.adapter = 1;
    r.in_use = 1;
    EXPECT_EQ(DriveListLine(r), " 1-0-0-0 sr0 Korvane DVDRW KMR-730T   QM01");
    EXPECT_EQ(DriveListLine(r, 4), " 1-0-0-0 sr0  Korvane DVDRW KMR-730T   QM01");
    EXPECT_EQ(DriveListLine(r, 2), " 1-0-0-0 sr0 Korvane DVDRW KMR-730T   QM01");
    std::strcpy(r.access_problem, "/dev/sr0: permission denied");
    EXPECT_EQ(DriveListLine(r, 4), " 1-0-0-0 sr0  /dev/sr0: permission denied");
}

// A drive the ASPI manager found has no letter: nothing between the LUN's blank and the
// identity.
TEST_F(DriveListTest, DriveWithoutLetterHasNothingBeforeItsIdentity) {
    machine_.os.ntFamily = false;
    machine_.AddDrive(rig::Kmr730t());
    machine_.AddAspiDevice(1, 2, 0, 0);
    Open();
    ASSERT_EQ(window_->cboDrives.ItemCount(), 1);
    EXPECT_EQ(window_->cboDrives.Item(0), " 1-0-2-0 Korvane DVDRW KMR-730T   QM01");
    EXPECT_TRUE(window_->cmdUpdate.Enabled());
}

class DriveListChoiceTest : public DriveListTest {
  protected:
    // E: another maker's drive, F: a KMR-730T above the admitted range, G: and H: admitted.
    void SetUp() override {
        AddOther(0);
        AddKmr(1, "QM10");
        AddKmr(2, "QM02");
        AddKmr(3, "QM03");
        Open();
        ASSERT_FALSE(app_->Terminated());
    }

    void ExpectAllowedShown(const std::string& revision) {
        EXPECT_TRUE(window_->cmdUpdate.Enabled());
        EXPECT_TRUE(Label("lblOldFW").Visible());
        EXPECT_TRUE(Label("lblNewFW").Visible());
        EXPECT_EQ(Label("lblUpdateMsg").Text(), "It will be updated from");
        EXPECT_EQ(Label("lblUpdateMsg").GetFont().color, ui::kBlack);
        EXPECT_EQ(Label("lblTo").GetFont().color, ui::kBlack);
        EXPECT_EQ(Label("lblOldFW").Text(), revision);
        EXPECT_EQ(Label("lblNewFW").Text(), "QM0F");
    }
};

TEST_F(DriveListChoiceTest, EveryDriveListedAndTheFirstAllowedPreselected) {
    EXPECT_EQ(window_->cboDrives.ItemCount(), 4);
    EXPECT_EQ(window_->cboDrives.ItemIndex(), 2);
    EXPECT_EQ(window_->Device()->SelectedIndex(), 2);
    ExpectAllowedShown("QM02");
    EXPECT_FALSE(Happened(EventKind::Dialog));
}

TEST_F(DriveListChoiceTest, DriveThatMayNotBeUpdatedDisablesUpdateAndBack) {
    window_->cboDrives.UserChoose(1);
    EXPECT_FALSE(window_->cmdUpdate.Enabled());
    EXPECT_FALSE(Label("lblOldFW").Visible());
    EXPECT_FALSE(Label("lblNewFW").Visible());
    EXPECT_EQ(Label("lblUpdateMsg").Text(), "This drive is not allowed to be updated.");
    EXPECT_EQ(Label("lblUpdateMsg").GetFont().color, ui::kMaroon);
    EXPECT_TRUE(Label("lblTo").Visible());
    EXPECT_EQ(Label("lblTo").Text(), "to");
    // The selection of the drive object stays with the last allowed drive.
    EXPECT_EQ(window_->Device()->SelectedIndex(), 2);

    window_->cboDrives.UserChoose(0);
    EXPECT_FALSE(window_->cmdUpdate.Enabled());

    window_->cboDrives.UserChoose(3);
    ExpectAllowedShown("QM03");
    EXPECT_EQ(window_->Device()->SelectedIndex(), 3);
}

TEST_F(DriveListChoiceTest, UpdateOfTheChosenDriveOnly) {
    window_->cboDrives.UserChoose(3);
    ClickUpdate();
    app_->Run();
    EXPECT_EQ(drive(3).ProgramCount(), 1u);
    EXPECT_EQ(Writes(0) + Writes(1) + Writes(2), 0u);
    EXPECT_EQ(machine_.Restarts().size(), 1u);  // the built-in REBOOT=1
}

}  // namespace
}  // namespace quiver::apptest
