// The fault matrix on the Linux backend: the whole program (the window on the headless toolkit,
// its workers and the drive objects) over /dev/srN and /dev/sgN served by the SG_IO interposer,
// with a sysfs tree that maps each drive's block node to the other drive's generic node, as a
// stale or planted mapping would. The updater must write to neither drive and report a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/frm_quiver.h"
#include "fake_sysfs.h"
#include "host/window_thread_queue.h"
#include "linux/linux_rig.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_system.h"
#include "simapp/package_file.h"
#include "ui/headless/headless.h"

namespace quiver {
namespace {

using linuxtest::FakeSysfs;

constexpr char kFailure[] = "Unable to flash firmware. Please contact with your vendor !";

TEST(LinuxGenericNode, CrossedMappingWritesToNoDriveAndFailsTheUpdate) {
    if (!linuxtest::InterposerPreloaded()) {
        GTEST_SKIP() << "runs with the SG_IO interposer preloaded (ctest sets LD_PRELOAD)";
    }
    FakeSysfs fs;
    const std::string dir = fs.root() + "/";
    FakeSysfs::Write(dir + "machine.json", R"({
        "drives": [{"name": "E", "timings": {"powerOnReadySeconds": 0, "resetReadySeconds": 0}},
                   {"name": "F", "timings": {"powerOnReadySeconds": 0, "resetReadySeconds": 0}}],
        "letters": [{"letter": "E", "drive": "E", "address": {"port": 1}},
                    {"letter": "F", "drive": "F", "address": {"port": 2, "target": 1}}]})");
    setenv("QUIVER_SGIO_MACHINE", (dir + "machine.json").c_str(), 1);
    setenv("QUIVER_SGIO_STATE", (dir + "state").c_str(), 1);
    unsetenv("QUIVER_SGIO_RAWIO");
    unsetenv("QUIVER_SGIO_SETTLED");
    fs.Add({.sr = 0, .hctl = "1:0:0:0", .sg = 1, .devNode = false});
    fs.Add({.sr = 1, .hctl = "2:0:1:0", .sg = 0, .devNode = false});

    std::mutex mutex;
    std::vector<std::string> reports;
    std::atomic<std::int64_t> now{0};
    LinuxSystem system(linuxtest::VirtualClockHooks(now));
    LinuxDrives::Hooks driveHooks;
    driveHooks.hasRawIo = [] { return false; };
    driveHooks.report = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        reports.push_back(text);
    };
    LinuxDrives drives(fs.root(), driveHooks);
    ScopedRoles roles({&system, &system, nullptr, &drives});

    std::vector<std::string> dialogs;
    {
        ui::headless::HeadlessApplication app;
        app.SetIdleTimeout(std::chrono::milliseconds(30));
        app.SetDialogAnswerer([&dialogs](const ui::headless::DialogRequest& request) {
            dialogs.push_back(request.text);
            return request.buttons == ui::DialogButtons::YesNo ? ui::DialogResult::Yes
                                                               : ui::DialogResult::Ok;
        });
        TQuiverMain::Options options;
        options.package = simapp::DemoPackage();
        options.guards = linuxtest::GuardsLockingIn(fs.root());
        TQuiverMain window(app, options);
        ASSERT_FALSE(app.Terminated());
        ASSERT_EQ(window.cboDrives.ItemIndex(), 0);  // sr0
        window.form().Show();
        app.QueueUserAction([&window] { window.cmdUpdate.UserClick(); });
        app.Run();
        WindowThreadQueue::ProcessPending();
    }
    ASSERT_FALSE(dialogs.empty());
    EXPECT_EQ(dialogs.back(), kFailure);

    // The refusal names both nodes.
    bool named = false;
    for (const std::string& r : reports) {
        named = named || r.find(dir + "dev/sg1 is not the device of " + dir + "dev/sr0") !=
                             std::string::npos;
    }
    EXPECT_TRUE(named);

    // No drive programmed its flash, and neither drive's buffer holds an image block.
    std::ifstream state(dir + "state");
    std::string saved((std::istreambuf_iterator<char>(state)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved.find("QM0F"), std::string::npos) << saved;
    for (const char* name : {"sr0", "sr1"}) {
        std::string problem;
        const auto drive = drives.Open(name, &problem);
        ASSERT_NE(drive, nullptr) << problem;
        std::vector<std::uint8_t> data(16384, 0xEE);
        const std::uint8_t readBuffer[12] = {0x3C, 0x01, 0x01, 0, 0, 0, 0, 0x40, 0};
        DriveCommand command;
        command.block = readBuffer;
        command.direction = DataDirection::FromDrive;
        command.data = data.data();
        command.length = static_cast<std::uint32_t>(data.size());
        command.timeLimit = 10;
        const DriveReply reply = drive->Send(command);
        ASSERT_EQ(reply.error, 0) << name;
        ASSERT_EQ(reply.status, 0) << name;
        EXPECT_EQ(data, std::vector<std::uint8_t>(16384, 0)) << name;
    }
}

}  // namespace
}  // namespace quiver
