// The Windows guards' machine claim on what the system answers, and the emulated volume lock
// that the update's tests rely on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "drive_rig.h"
#include "mock_platform.h"
#include "platform/flash_guards.h"

namespace quiver {
namespace {

using ::testing::_;

// What CreateMutexA answers for the global and for the plain name (null: it fails, leaving the
// error), the claim's result, the names asked for and the handles closed.
struct MutexCase {
    const char* name;
    HANDLE global;
    DWORD globalError;
    HANDLE local;
    DWORD localError;
    GuardResult expected;
    int asked;
    int closes;
};

void PrintTo(const MutexCase& c, std::ostream* os) {
    *os << c.name << " (global mutex error " << c.globalError << ", plain name error "
        << c.localError << ")";
}

class MachineClaim : public ::testing::TestWithParam<MutexCase> {};

TEST_P(MachineClaim, FollowsTheSystemsAnswers) {
    const MutexCase& c = GetParam();
    ::testing::NiceMock<testing::MockPlatform> os;
    ScopedPlatform installed(os);
    DWORD last = 0;
    int asked = 0;
    ON_CALL(os, GetLastError()).WillByDefault([&] { return last; });
    ON_CALL(os, CreateMutexA(nullptr, FALSE, _)).WillByDefault([&](void*, BOOL, const char* name) {
        const bool global = ++asked == 1;
        EXPECT_STREQ(name,
                     global ? WindowsFlashGuards::kMutexName : WindowsFlashGuards::kLocalMutexName);
        last = global ? c.globalError : c.localError;
        return global ? c.global : c.local;
    });
    EXPECT_CALL(os, CloseHandle(_)).Times(c.closes);
    EXPECT_EQ(WindowsFlashGuards().ClaimMachine().result, c.expected);
    EXPECT_EQ(asked, c.asked);
}

const HANDLE kMutex = reinterpret_cast<HANDLE>(0x40);

INSTANTIATE_TEST_SUITE_P(
    Answers, MachineClaim,
    ::testing::Values(
        // A new mutex is held until the guard goes; an existing one is another updater's.
        MutexCase{"New", kMutex, ERROR_SUCCESS, nullptr, 0, GuardResult::Taken, 1, 1},
        MutexCase{"Exists", kMutex, ERROR_ALREADY_EXISTS, nullptr, 0, GuardResult::Busy, 1, 1},
        // Made by an updater of another account, whose mutex this one may not open.
        MutexCase{"AnotherAccounts", nullptr, ERROR_ACCESS_DENIED, nullptr, 0, GuardResult::Busy, 1,
                  0},
        // No global namespace (the Windows 95 line): the plain name.
        MutexCase{"NoGlobalNamespace", nullptr, ERROR_INVALID_NAME, kMutex, ERROR_ALREADY_EXISTS,
                  GuardResult::Busy, 2, 1},
        MutexCase{"NeitherName", nullptr, ERROR_PATH_NOT_FOUND, nullptr, ERROR_NOT_ENOUGH_MEMORY,
                  GuardResult::Unavailable, 2, 0}),
    [](const ::testing::TestParamInfo<MutexCase>& info) { return std::string(info.param.name); });

// A locked volume answers only the handle that locked it, until it unlocks or closes; a drive
// on the ASPI route (no handle) gets no lock.
class VolumeLockTest : public rig::DriveRig {};

TEST_F(VolumeLockTest, OnlyTheLockingHandleReachesTheDrive) {
    AddOptical('E', rig::Kmr730t(false));
    auto open = [&] {
        return os_.CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                               0, nullptr);
    };
    auto reaches = [&](HANDLE h) {
        SCSI_ADDRESS a{};
        DWORD returned = 0;
        return os_.DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned,
                                   nullptr) != FALSE;
    };
    HANDLE first = open();
    HANDLE second = open();
    WindowsFlashGuards guards;
    EXPECT_EQ(guards.ClaimDrive(nullptr).result, GuardResult::Unavailable);
    Guarded lock = guards.ClaimDrive(first);
    ASSERT_EQ(lock.result, GuardResult::Taken);
    EXPECT_TRUE(reaches(first));
    EXPECT_FALSE(reaches(second));
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(guards.ClaimDrive(second).result, GuardResult::Unavailable);

    lock.guard.reset();
    EXPECT_TRUE(reaches(second));
    Guarded again = guards.ClaimDrive(second);
    ASSERT_EQ(again.result, GuardResult::Taken);
    os_.CloseHandle(second);
    EXPECT_EQ(machine_.locks().VolumeHolder(0), 0u);
    os_.CloseHandle(first);
}

}  // namespace
}  // namespace quiver
