// The Windows guards' decisions on what the system answers, and the volume lock of the emulated
// PC that the update's tests rely on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "drive_rig.h"
#include "mock_platform.h"
#include "platform/flash_guards.h"

namespace quiver {
namespace {

using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::StrEq;

HANDLE Fake(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// What CreateMutexA gives for the global name and then for the plain one (null: it fails), with
// the last error each leaves; and what the machine claim comes to.
struct MutexCase {
    HANDLE global;
    DWORD globalError;
    HANDLE local;
    DWORD localError;
    GuardResult expected;
    int closes;  // handles closed, at once or when the guard goes
};

class MachineClaim : public ::testing::TestWithParam<MutexCase> {};

TEST_P(MachineClaim, FollowsTheSystemsAnswers) {
    const MutexCase c = GetParam();
    NiceMock<testing::MockPlatform> os;
    ScopedPlatform installed(os);
    DWORD last = 0;
    ON_CALL(os, GetLastError()).WillByDefault([&] { return last; });
    EXPECT_CALL(os, CreateMutexA(nullptr, FALSE, StrEq(WindowsFlashGuards::kMutexName)))
        .WillOnce([&](void*, BOOL, const char*) {
            last = c.globalError;
            return c.global;
        });
    ON_CALL(os, CreateMutexA(nullptr, FALSE, StrEq(WindowsFlashGuards::kLocalMutexName)))
        .WillByDefault([&](void*, BOOL, const char*) {
            last = c.localError;
            return c.local;
        });
    const bool triesLocal = c.global == nullptr && c.globalError != ERROR_ACCESS_DENIED;
    EXPECT_CALL(os, CreateMutexA(nullptr, FALSE, StrEq(WindowsFlashGuards::kLocalMutexName)))
        .Times(triesLocal ? 1 : 0);
    EXPECT_CALL(os, CloseHandle(_)).Times(c.closes);
    Guarded claim = WindowsFlashGuards().ClaimMachine();
    EXPECT_EQ(claim.result, c.expected);
    EXPECT_EQ(claim.guard != nullptr, c.expected == GuardResult::Taken);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MachineClaim,
    ::testing::Values(
        // A new mutex is held until the guard goes; an existing one is another updater's.
        MutexCase{Fake(0x40), ERROR_SUCCESS, nullptr, 0, GuardResult::Taken, 1},
        MutexCase{Fake(0x40), ERROR_ALREADY_EXISTS, nullptr, 0, GuardResult::Busy, 1},
        // Made by an updater of another account, whose mutex this one may not open.
        MutexCase{nullptr, ERROR_ACCESS_DENIED, nullptr, 0, GuardResult::Busy, 0},
        // No global namespace (the Windows 95 line): the plain name.
        MutexCase{nullptr, ERROR_INVALID_NAME, Fake(0x44), ERROR_SUCCESS, GuardResult::Taken, 1},
        MutexCase{nullptr, ERROR_PATH_NOT_FOUND, Fake(0x44), ERROR_ALREADY_EXISTS,
                  GuardResult::Busy, 1},
        MutexCase{nullptr, ERROR_INVALID_NAME, nullptr, ERROR_NOT_ENOUGH_MEMORY,
                  GuardResult::Unavailable, 0}));

// Only what the system granted is given back: a system without shutdown block reasons (before
// Vista) still keeps the system awake, and the reason is never destroyed there.
TEST(SystemHold, GivesBackOnlyWhatTheSystemGranted) {
    NiceMock<testing::MockPlatform> os;
    ScopedPlatform installed(os);
    HWND window = Fake(0x10010);
    const std::wstring reason(kFlashingReason, kFlashingReason + sizeof kFlashingReason - 1);
    EXPECT_CALL(os, SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED))
        .WillOnce(Return(ES_CONTINUOUS));
    std::wstring asked;
    EXPECT_CALL(os, ShutdownBlockReasonCreate(window, _)).WillOnce([&](HWND, const WCHAR* text) {
        asked = text;
        return FALSE;
    });
    Guarded held = WindowsFlashGuards().HoldSystem(window, "Updater");
    ASSERT_EQ(held.result, GuardResult::Taken);
    EXPECT_EQ(asked, reason);
    EXPECT_CALL(os, ShutdownBlockReasonDestroy(_)).Times(0);
    EXPECT_CALL(os, SetThreadExecutionState(ES_CONTINUOUS)).WillOnce(Return(ES_CONTINUOUS));
    held.guard.reset();

    // Nothing granted at all: nothing to give back.
    EXPECT_CALL(os, SetThreadExecutionState(_)).WillOnce(Return(0));
    EXPECT_EQ(WindowsFlashGuards().HoldSystem(nullptr, "Updater").result, GuardResult::Unavailable);
}

// A locked volume answers only the handle that locked it, until it unlocks or closes; the guard
// of a drive on the ASPI route (no handle) holds nothing.
class VolumeLockTest : public rig::DriveRig {};

TEST_F(VolumeLockTest, OnlyTheLockingHandleReachesTheDrive) {
    AddOptical('E', rig::Kmr730t(false));
    auto open = [&] {
        return os_.CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    };
    auto address = [&](HANDLE h) {
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
    EXPECT_TRUE(address(first));
    EXPECT_FALSE(address(second));
    EXPECT_EQ(os_.GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(guards.ClaimDrive(second).result, GuardResult::Unavailable);

    lock.guard.reset();
    EXPECT_TRUE(address(second));
    Guarded again = guards.ClaimDrive(second);
    ASSERT_EQ(again.result, GuardResult::Taken);
    os_.CloseHandle(second);  // closing the handle unlocks
    EXPECT_EQ(machine_.locks().VolumeHolder(0), 0u);
    again.guard.reset();  // its handle is gone: nothing left to unlock
    os_.CloseHandle(first);
}

}  // namespace
}  // namespace quiver
