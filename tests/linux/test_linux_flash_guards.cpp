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
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_platform.h"

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
    LinuxFlashGuards first(nullptr, LockIn({tmp.root()}));
    Guarded held = first.ClaimMachine();
    umask(umaskBefore);
    ASSERT_EQ(held.result, GuardResult::Taken);
    struct stat st {};
    ASSERT_EQ(stat((tmp.path() / LinuxFlashGuards::kLockFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // another account's updater can open it to lock it

    LinuxFlashGuards second(nullptr, LockIn({tmp.root()}));
    EXPECT_EQ(second.ClaimMachine().result, GuardResult::Busy);
    held.guard.reset();
    EXPECT_EQ(second.ClaimMachine().result, GuardResult::Taken);
}

// What stands at the lock file's place in the first directory; the lock is then taken in the
// second one, and nothing is followed or waited on.
class LockFilePlace : public ::testing::TestWithParam<std::function<void(const fs::path&)>> {};

TEST_P(LockFilePlace, IsPassedOverForTheNextDirectory) {
    FakeSysfs tmp;
    const fs::path first = tmp.path() / "first";
    const fs::path second = tmp.path() / "second";
    fs::create_directories(first);
    fs::create_directories(second);
    const fs::path target = tmp.path() / "elsewhere";
    FakeSysfs::Write(target.string(), "");
    GetParam()(first / LinuxFlashGuards::kLockFileName);

    LinuxFlashGuards guards(
        nullptr, LockIn({"", (tmp.path() / "missing").string(), first.string(), second.string()}));
    Guarded held = guards.ClaimMachine();
    ASSERT_EQ(held.result, GuardResult::Taken);
    EXPECT_TRUE(fs::exists(second / LinuxFlashGuards::kLockFileName));
    const int fd = open(target.c_str(), O_RDONLY);  // a link's target stays unlocked
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Planted, LockFilePlace,
                         ::testing::Values(
                             [](const fs::path& at) {
                                 fs::create_symlink(at.parent_path().parent_path() / "elsewhere",
                                                    at);
                             },
                             [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0644), 0); },
                             [](const fs::path& at) { fs::create_directories(at); }));

TEST(LinuxMachineLock, NoDirectoryThatCanHoldItLeavesTheMachineUnguarded) {
    LinuxFlashGuards guards(nullptr, LockIn({"/nonexistent/quiver-lock"}));
    EXPECT_EQ(guards.ClaimMachine().result, GuardResult::Unavailable);
}

// Drives on the interposer: sr0 a KMR-730T with sg0, sr1 another drive with sg1.
class DriveClaimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        if (preload == nullptr || std::strstr(preload, "quiver-sgio") == nullptr) {
            GTEST_SKIP() << "runs with the interposer preloaded (ctest sets LD_PRELOAD)";
        }
        FakeSysfs::Write(fs_.root() + "/machine.json", linuxtest::kTwoDriveMachine);
        setenv("QUIVER_SGIO_MACHINE", (fs_.root() + "/machine.json").c_str(), 1);
        unsetenv("QUIVER_SGIO_RAWIO");
        unsetenv("QUIVER_SGIO_BUSY");
        fs_.Add({.sr = 0, .hctl = "1:0:0:0", .sg = 0, .devNode = false});
        fs_.Add({.sr = 1, .hctl = "2:0:1:0", .sg = 1, .devNode = false});
    }
    void TearDown() override { unsetenv("QUIVER_SGIO_BUSY"); }

    HANDLE Open(const char* path) {
        return os_.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    }
    // WRITE BUFFER of 16 KiB, which the block node refuses, so that it goes through the generic
    // node: whether it reached the drive.
    bool Write(HANDLE handle) {
        std::vector<std::uint8_t> data(16384);
        SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER r{};
        const std::uint8_t cdb[] = {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0x40, 0, 0, 0, 0};
        r.sptd.Length = sizeof r.sptd;
        r.sptd.CdbLength = sizeof cdb;
        std::memcpy(r.sptd.Cdb, cdb, sizeof cdb);
        r.sptd.DataIn = SCSI_IOCTL_DATA_OUT;
        r.sptd.DataTransferLength = static_cast<ULONG>(data.size());
        r.sptd.DataBuffer = data.data();
        r.sptd.TimeOutValue = 10;
        r.sptd.SenseInfoLength = 24;
        r.sptd.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
        DWORD returned = 0;
        return os_.DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &r, sizeof r, &r,
                                   sizeof r, &returned, nullptr) != FALSE;
    }

    FakeSysfs fs_;
    LinuxPlatform os_{fs_.root()};
    LinuxFlashGuards guards_{&os_, LockIn({})};
};

// Two handles on one drive, as two programs would have: while one holds the claim the other is
// refused the claim and the generic node, so its writes do not reach the drive.
TEST_F(DriveClaimTest, TheClaimKeepsOtherExclusiveUsersOffUntilItGoes) {
    HANDLE mine = Open("\\\\.\\0:");
    HANDLE other = Open("\\\\.\\0:");
    Guarded claim = guards_.ClaimDrive(mine);
    ASSERT_EQ(claim.result, GuardResult::Taken);
    EXPECT_EQ(guards_.ClaimDrive(other).result, GuardResult::Busy);
    EXPECT_TRUE(Write(mine));
    EXPECT_FALSE(Write(other));

    claim.guard.reset();
    EXPECT_FALSE(os_.HeldExclusive(mine));
    Guarded now = guards_.ClaimDrive(other);
    EXPECT_EQ(now.result, GuardResult::Taken);
    os_.CloseHandle(other);
    now.guard.reset();
    os_.CloseHandle(mine);
}

TEST_F(DriveClaimTest, ADriveAnotherProgramHoldsOrHasMountedIsBusy) {
    setenv("QUIVER_SGIO_BUSY", "sr0", 1);
    HANDLE busy = Open("\\\\.\\0:");
    HANDLE free = Open("\\\\.\\1:");
    EXPECT_EQ(guards_.ClaimDrive(busy).result, GuardResult::Busy);
    EXPECT_EQ(guards_.ClaimDrive(free).result, GuardResult::Taken);
    os_.CloseHandle(busy);
    os_.CloseHandle(free);
}

}  // namespace
}  // namespace quiver
