// The Linux guards: the machine's lock file, and drives claimed with O_EXCL through the SG_IO
// interposer, which keeps exclusive opens as the kernel does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "device/atapi_device.h"
#include "fake_sysfs.h"
#include "linux_rig.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_system.h"
#include "platform/linux/linux_termination.h"

namespace quiver {
namespace {

namespace fs = std::filesystem;
using linuxtest::FakeSysfs;

LinuxFlashGuards::Settings LockIn(std::vector<std::string> directories) {
    LinuxFlashGuards::Settings settings;
    settings.lockDirectories = std::move(directories);
    settings.claimPauseMilliseconds = 1;
    return settings;
}

TEST(LinuxMachineLock, OneHolderAtATimeAndTheFileServesEveryAccount) {
    FakeSysfs tmp;
    const mode_t umaskBefore = umask(077);
    LinuxFlashGuards first(LockIn({tmp.root()}));
    Guarded held = first.ClaimMachine();
    umask(umaskBefore);
    ASSERT_EQ(held.result, GuardResult::Taken);
    struct stat st {};
    ASSERT_EQ(stat((tmp.path() / LinuxFlashGuards::kLockFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // another account's updater can open it to lock it

    LinuxFlashGuards second(LockIn({tmp.root()}));
    EXPECT_EQ(second.ClaimMachine().result, GuardResult::Busy);
    held.guard.reset();
    EXPECT_EQ(second.ClaimMachine().result, GuardResult::Taken);
}

// What stands at the lock file's place in the first directory; the lock is then taken in the
// second one, and nothing is followed or waited on.
struct Obstacle {
    const char* name;
    std::function<void(const fs::path&)> plant;
};

void PrintTo(const Obstacle& p, std::ostream* os) {
    *os << p.name;
}

class LockFilePlace : public ::testing::TestWithParam<Obstacle> {};

TEST_P(LockFilePlace, IsPassedOverForTheNextDirectory) {
    FakeSysfs tmp;
    const fs::path first = tmp.path() / "first";
    const fs::path second = tmp.path() / "second";
    fs::create_directories(first);
    fs::create_directories(second);
    const fs::path target = tmp.path() / "elsewhere";
    FakeSysfs::Write(target.string(), "");
    GetParam().plant(first / LinuxFlashGuards::kLockFileName);

    LinuxFlashGuards guards(
        LockIn({"", (tmp.path() / "missing").string(), first.string(), second.string()}));
    Guarded held = guards.ClaimMachine();
    ASSERT_EQ(held.result, GuardResult::Taken);
    EXPECT_TRUE(fs::exists(second / LinuxFlashGuards::kLockFileName));
    const int fd = open(target.c_str(), O_RDONLY);  // a link's target stays unlocked
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Planted, LockFilePlace,
    ::testing::Values(
        Obstacle{"SymbolicLink",
                 [](const fs::path& at) {
                     fs::create_symlink(at.parent_path().parent_path() / "elsewhere", at);
                 }},
        Obstacle{"Fifo", [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0644), 0); }},
        Obstacle{"Directory", [](const fs::path& at) { fs::create_directories(at); }}),
    [](const ::testing::TestParamInfo<Obstacle>& info) { return std::string(info.param.name); });

TEST(LinuxMachineLock, NoDirectoryThatCanHoldItLeavesTheMachineUnguarded) {
    LinuxFlashGuards guards(LockIn({"/nonexistent/quiver-lock"}));
    EXPECT_EQ(guards.ClaimMachine().result, GuardResult::Unavailable);
}

// Drives on the interposer, found by drive objects: sr0 a KMR-730T with sg0, sr1 another drive
// with sg1, on for a while (no power-on unit attention).
class DriveClaimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!linuxtest::InterposerPreloaded()) {
            GTEST_SKIP() << "runs with the interposer preloaded (ctest sets LD_PRELOAD)";
        }
        FakeSysfs::Write(fs_.root() + "/machine.json", linuxtest::kTwoDriveMachine);
        setenv("QUIVER_SGIO_MACHINE", (fs_.root() + "/machine.json").c_str(), 1);
        setenv("QUIVER_SGIO_SETTLED", "1", 1);
        unsetenv("QUIVER_SGIO_RAWIO");
        unsetenv("QUIVER_SGIO_BUSY");
        fs_.Add({.sr = 0, .hctl = "1:0:0:0", .sg = 0, .devNode = false});
        fs_.Add({.sr = 1, .hctl = "2:0:1:0", .sg = 1, .devNode = false});
    }
    void TearDown() override {
        unsetenv("QUIVER_SGIO_BUSY");
        unsetenv("QUIVER_SGIO_SETTLED");
    }
    // A drive object of its own (as another program would have) with record `index` selected.
    std::unique_ptr<AtapiDevice> Selected(int index) {
        auto device = std::make_unique<AtapiDevice>(true);
        EXPECT_TRUE(device->SelectDrive(index));
        return device;
    }

    FakeSysfs fs_;
    LinuxSystem system_;
    LinuxDrives drives_{fs_.root()};
    ScopedRoles installed_{{&system_, &system_, nullptr, &drives_}};
    LinuxFlashGuards guards_{LockIn({})};
};

// While one holds the claim the other is refused the claim and the generic node, so that its
// writes do not reach the drive.
TEST_F(DriveClaimTest, TheClaimKeepsOtherExclusiveUsersOffUntilItGoes) {
    const auto mine = Selected(0);
    const auto other = Selected(0);
    Guarded claim = guards_.ClaimOpenDrive(*mine->NativeDrive());
    ASSERT_EQ(claim.result, GuardResult::Taken);
    EXPECT_EQ(guards_.ClaimOpenDrive(*other->NativeDrive()).result, GuardResult::Busy);
    EXPECT_TRUE(mine->WriteBuffer(0, 16384, 0));
    EXPECT_FALSE(other->WriteBuffer(0, 16384, 0));
    EXPECT_EQ(guards_.ClaimDrive(mine->DeviceHandle()).result, GuardResult::Unavailable);

    claim.guard.reset();
    EXPECT_EQ(guards_.ClaimOpenDrive(*other->NativeDrive()).result, GuardResult::Taken);
}

TEST_F(DriveClaimTest, ADriveAnotherProgramHoldsOrHasMountedIsBusy) {
    setenv("QUIVER_SGIO_BUSY", "sr0", 1);
    EXPECT_EQ(guards_.ClaimOpenDrive(*Selected(0)->NativeDrive()).result, GuardResult::Busy);
    EXPECT_EQ(guards_.ClaimOpenDrive(*Selected(1)->NativeDrive()).result, GuardResult::Taken);
}

// Requests to end the updater: refused, one line each, while a hold lives (holds may overlap);
// never taken by the threads that talk to drives, and one ignored from the start (SIGQUIT here,
// as nohup ignores SIGHUP) left ignored; SIGPIPE no longer ends the program.
TEST(TerminationRequests, RefusedWhileHeldAndKeptAwayFromOtherThreads) {
    int lines[2];
    ASSERT_EQ(pipe2(lines, O_CLOEXEC | O_NONBLOCK), 0);
    signal(SIGQUIT, SIG_IGN);
    {
        TerminationRequests requests(lines[1]);
        sigset_t workerMask;
        std::thread([&] { pthread_sigmask(SIG_BLOCK, nullptr, &workerMask); }).join();
        for (int taken : {SIGINT, SIGTERM, SIGHUP}) {
            EXPECT_EQ(sigismember(&workerMask, taken), 1) << taken;
        }
        EXPECT_EQ(sigismember(&workerMask, SIGQUIT), 0);

        auto hold = requests.Hold();
        auto overlapping = requests.Hold();
        kill(getpid(), SIGTERM);
        ASSERT_TRUE(requests.WaitRefused(1, 60));
        overlapping.reset();
        kill(getpid(), SIGINT);
        ASSERT_TRUE(requests.WaitRefused(2, 60));

        int gone[2];
        ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
        close(gone[0]);
        EXPECT_EQ(write(gone[1], "x", 1), -1);
        EXPECT_EQ(errno, EPIPE);
        close(gone[1]);
    }
    signal(SIGQUIT, SIG_DFL);
    char text[1024] = {};
    const ssize_t n = read(lines[0], text, sizeof text - 1);
    close(lines[0]);
    close(lines[1]);
    ASSERT_GT(n, 0);
    const std::string refused(kEndingRefused);
    EXPECT_EQ(std::string(text, static_cast<std::size_t>(n)),
              refused + " (SIGTERM)\n" + refused + " (SIGINT)\n");
}

// Without a hold, before the first and after the last, a request ends the program as it did.
TEST(TerminationRequests, WithoutAHoldARequestEndsTheProgramAsBefore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto endedBy = [](int signal, bool heldBefore) {
        TerminationRequests requests;
        if (heldBefore) {
            auto hold = requests.Hold();
        }
        kill(getpid(), signal);
        std::this_thread::sleep_for(std::chrono::seconds(60));
        std::_Exit(0);  // not ended: the expectation below fails instead of hanging
    };
    EXPECT_EXIT(endedBy(SIGTERM, false), testing::KilledBySignal(SIGTERM), "");
    EXPECT_EXIT(endedBy(SIGHUP, true), testing::KilledBySignal(SIGHUP), "");
}

}  // namespace
}  // namespace quiver
