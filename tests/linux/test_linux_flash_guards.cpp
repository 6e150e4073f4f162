// The Linux guards: the machine's lock file, and drives claimed with O_EXCL through the SG_IO
// interposer, which keeps exclusive opens as the kernel does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "device/atapi_device.h"
#include "fake_sysfs.h"
#include "linux_rig.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_system.h"

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

}  // namespace
}  // namespace quiver
