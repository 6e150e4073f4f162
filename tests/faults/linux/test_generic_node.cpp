// The fault matrix on the Linux backend: the whole program (the window on the headless toolkit,
// its workers and the drive objects) over /dev/srN and /dev/sgN served by the SG_IO interposer,
// with a sysfs tree that maps each drive's block node to the other drive's generic node, as a
// stale or planted mapping would. The updater must write to neither drive and report a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "app/frm_quiver.h"
#include "fake_sysfs.h"
#include "host/window_thread_queue.h"
#include "platform/linux/linux_platform.h"
#include "simapp/package_file.h"
#include "ui/headless/headless.h"

namespace quiver {
namespace {

using linuxtest::FakeSysfs;

constexpr char kFailure[] = "Unable to flash firmware. Please contact with your vendor !";

TEST(LinuxGenericNode, CrossedMappingWritesToNoDriveAndFailsTheUpdate) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "quiver-sgio") == nullptr) {
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
    LinuxPlatform::Hooks hooks;
    hooks.monotonicNanos = [&now] { return now.fetch_add(1'000'000) + 1'000'000; };
    hooks.sleep = [&now](DWORD ms) { now += static_cast<std::int64_t>(ms) * 1'000'000; };
    hooks.mayRestart = [] { return false; };
    hooks.restart = [](LinuxPlatform::RestartKind) { return false; };
    hooks.report = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        reports.push_back(text);
    };
    LinuxPlatform os(fs.root(), hooks);
    ScopedPlatform scope(os);

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
    for (const char* path : {"\\\\.\\0:", "\\\\.\\1:"}) {
        HANDLE drive = os.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                                      0, nullptr);
        ASSERT_NE(drive, INVALID_HANDLE_VALUE) << path;
        std::vector<std::uint8_t> data(16384, 0xEE);
        SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block{};
        auto& s = block.sptd;
        s.Length = sizeof s;
        s.CdbLength = 12;
        const std::uint8_t readBuffer[12] = {0x3C, 0x01, 0x01, 0, 0, 0, 0, 0x40, 0};
        std::memcpy(s.Cdb, readBuffer, sizeof readBuffer);
        s.DataIn = SCSI_IOCTL_DATA_IN;
        s.DataTransferLength = static_cast<ULONG>(data.size());
        s.DataBuffer = data.data();
        s.TimeOutValue = 10;
        s.SenseInfoLength = 24;
        s.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
        DWORD returned = 0;
        ASSERT_TRUE(os.DeviceIoControl(drive, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block,
                                       &block, sizeof block, &returned, nullptr));
        ASSERT_EQ(s.ScsiStatus, 0) << path;
        EXPECT_EQ(data, std::vector<std::uint8_t>(16384, 0)) << path;
        os.CloseHandle(drive);
    }
}

}  // namespace
}  // namespace quiver
