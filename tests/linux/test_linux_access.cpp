// What the updater tells a user who lacks access to the device nodes: the whole program (the
// window on the headless toolkit, its workers and the drive objects) on the Linux drive access,
// with nodes the SG_IO interposer refuses (EACCES) as the kernel refuses a user outside the
// nodes' group and ACL. The dialogs keep their texts and add one line on the missing access.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/frm_quiver.h"
#include "fake_sysfs.h"
#include "host/window_thread_queue.h"
#include "linux_rig.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_system.h"
#include "simapp/package_file.h"
#include "ui/headless/headless.h"

namespace quiver {
namespace {

using linuxtest::FakeSysfs;

class LinuxAccessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!linuxtest::InterposerPreloaded()) {
            GTEST_SKIP() << "runs with the SG_IO interposer preloaded (ctest sets LD_PRELOAD)";
        }
        FakeSysfs::Write(dir_ + "machine.json", linuxtest::kTwoDriveMachine);
        setenv("QUIVER_SGIO_MACHINE", (dir_ + "machine.json").c_str(), 1);
        unsetenv("QUIVER_SGIO_STATE");
        unsetenv("QUIVER_SGIO_RAWIO");
        unsetenv("QUIVER_SGIO_SETTLED");
        fs_.Add({.sr = 0, .hctl = "1:0:0:0", .sg = 0, .devNode = false});
        fs_.Add({.sr = 1, .hctl = "2:0:1:0", .sg = 1, .devNode = false});
    }
    void TearDown() override { unsetenv("QUIVER_SGIO_DENIED"); }

    // Runs the program with every dialog answered Yes or OK; the dialogs' texts.
    std::vector<std::string> Run(bool clickUpdate) {
        LinuxSystem system(linuxtest::VirtualClockHooks(now_));
        LinuxDrives drives(fs_.root(), {.hasRawIo = [] { return false; }, .report = {}});
        ScopedRoles roles({&system, &system, &power_, &drives});
        std::vector<std::string> dialogs;
        ui::headless::HeadlessApplication app;
        app.SetIdleTimeout(std::chrono::milliseconds(30));
        app.SetDialogAnswerer([&dialogs](const ui::headless::DialogRequest& request) {
            dialogs.push_back(request.text);
            return request.buttons == ui::DialogButtons::YesNo ? ui::DialogResult::Yes
                                                               : ui::DialogResult::Ok;
        });
        TQuiverMain::Options options;
        options.package = simapp::DemoPackage();
        options.guards = linuxtest::GuardsLockingIn(dir_);
        TQuiverMain window(app, options);
        if (clickUpdate && !app.Terminated()) {
            window.form().Show();
            app.QueueUserAction([&window] { window.cmdUpdate.UserClick(); });
            app.Run();
            WindowThreadQueue::ProcessPending();
        }
        return dialogs;
    }

    linuxtest::RecordedPower power_;
    FakeSysfs fs_;
    const std::string dir_ = fs_.root() + "/";
    std::atomic<std::int64_t> now_{0};
};

TEST_F(LinuxAccessTest, DrivesThatCannotBeOpenedAreListedAndTheReadAccessIsNamed) {
    setenv("QUIVER_SGIO_DENIED", "sr0 sr1", 1);
    const std::vector<std::string> dialogs = Run(false);
    ASSERT_EQ(dialogs.size(), 1u);
    const std::string& text = dialogs[0];
    EXPECT_EQ(text.rfind("No matched drive detected !\nThis utility is only for ", 0), 0u) << text;
    const std::string tail =
        "drive.\n\nDetected drives :\n"
        " 1-0-0-0 sr0 " +
        dir_ +
        "dev/sr0: permission denied\n"
        " 2-0-1-0 sr1 " +
        dir_ + "dev/sr1: permission denied\n" + LinuxDrives::ReadAccessLine(dir_ + "dev/sr0");
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(LinuxAccessTest, AGenericNodeThatCannotBeWrittenFailsTheUpdateAndSaysWhy) {
    setenv("QUIVER_SGIO_DENIED", "sg0", 1);
    const std::vector<std::string> dialogs = Run(true);
    ASSERT_FALSE(dialogs.empty());
    EXPECT_EQ(dialogs.back(), "Unable to flash firmware. Please contact with your vendor !\n" +
                                  LinuxDrives::WriteAccessLine(dir_ + "dev/sg0"));
}

TEST_F(LinuxAccessTest, WithAccessTheListNamesTheDrivesAndTheDialogsAreUnchanged) {
    const std::vector<std::string> dialogs = Run(true);
    ASSERT_FALSE(dialogs.empty());
    EXPECT_EQ(dialogs.back(), "Firmware has been updated successfully !");
    EXPECT_EQ(power_.restarts, 1);  // the package restarts after success
}

}  // namespace
}  // namespace quiver
