#include <gtest/gtest.h>

#include "host/os_info.h"
#include "mock_platform.h"

namespace quiver {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::IsNull;
using ::testing::Return;
using ::testing::SetArgPointee;

HANDLE const kToken = reinterpret_cast<HANDLE>(0x22);

class OsInfoTest : public ::testing::Test {
  protected:
    // The version query answers with the given platform, or fails when it is -1.
    void SystemIs(int platform_id) {
        EXPECT_CALL(os_,
                    GetVersionExA(::testing::Field(&OSVERSIONINFOA::dwOSVersionInfoSize, 148u)))
            .WillOnce([platform_id](OSVERSIONINFOA* info) {
                info->dwPlatformId = static_cast<DWORD>(platform_id);
                return platform_id < 0 ? FALSE : TRUE;
            });
    }
    void TokenOpens() {
        EXPECT_CALL(os_, OpenProcessToken(_, 0x28u, _))
            .WillOnce(DoAll(SetArgPointee<2>(kToken), Return(TRUE)));
    }

    ::testing::NiceMock<testing::MockPlatform> os_;
    ScopedPlatform scope_{os_};
};

TEST_F(OsInfoTest, FamilyFromTheVersionQuery) {
    SystemIs(VER_PLATFORM_WIN32_NT);
    EXPECT_TRUE(OSInfo().IsNTFamily());
    SystemIs(VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_FALSE(OSInfo().IsNTFamily());
    SystemIs(-1);  // failed query: taken as NT
    EXPECT_TRUE(OSInfo().IsNTFamily());
}

TEST_F(OsInfoTest, Win95LineRestartsAtOnceWithoutAToken) {
    SystemIs(VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_CALL(os_, OpenProcessToken).Times(0);
    EXPECT_CALL(os_, ExitWindowsEx(6u, 0u)).WillOnce(Return(TRUE)).WillOnce(Return(FALSE));
    OSInfo info;
    EXPECT_TRUE(info.RestartSystem());
    EXPECT_FALSE(info.RestartSystem());  // the system refused
}

TEST_F(OsInfoTest, NtEnablesTheShutdownPrivilegeThenForcesTheRestart) {
    SystemIs(VER_PLATFORM_WIN32_NT);
    OSInfo info;
    ::testing::InSequence order;
    TokenOpens();
    EXPECT_CALL(os_, LookupPrivilegeValueA(IsNull(), ::testing::StrEq("SeShutdownPrivilege"), _))
        .WillOnce(DoAll(SetArgPointee<2>(LUID{19, 0}), Return(TRUE)));
    EXPECT_CALL(os_, AdjustTokenPrivileges(kToken, FALSE, _, 0u, IsNull(), IsNull()))
        .WillOnce([](HANDLE, BOOL, TOKEN_PRIVILEGES* tp, DWORD, TOKEN_PRIVILEGES*, DWORD*) {
            EXPECT_EQ(tp->PrivilegeCount, 1u);
            EXPECT_EQ(tp->Privileges[0].Luid.LowPart, 19u);
            EXPECT_EQ(tp->Privileges[0].Attributes, SE_PRIVILEGE_ENABLED);
            return TRUE;
        });
    EXPECT_CALL(os_, CloseHandle(kToken)).WillOnce(Return(TRUE));
    EXPECT_CALL(os_, ExitWindowsEx(6u, 0u)).WillOnce(Return(TRUE));
    EXPECT_TRUE(info.RestartSystem());
}

TEST_F(OsInfoTest, NtWithoutThePrivilegeRequestsNothing) {
    SystemIs(VER_PLATFORM_WIN32_NT);
    OSInfo info;
    EXPECT_CALL(os_, ExitWindowsEx).Times(0);
    EXPECT_CALL(os_, CloseHandle(kToken)).Times(2);  // closed on every way out
    // The token lacks the privilege: the adjustment succeeds but says so in the last error.
    TokenOpens();
    ON_CALL(os_, LookupPrivilegeValueA).WillByDefault(Return(TRUE));
    ON_CALL(os_, AdjustTokenPrivileges).WillByDefault(Return(TRUE));
    EXPECT_CALL(os_, GetLastError()).WillOnce(Return(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(info.RestartSystem());
    // The privilege is unknown to the system.
    TokenOpens();
    EXPECT_CALL(os_, LookupPrivilegeValueA).WillOnce(Return(FALSE));
    EXPECT_CALL(os_, AdjustTokenPrivileges).Times(0);
    EXPECT_FALSE(info.RestartSystem());
    // The token cannot be opened: nothing else happens.
    EXPECT_CALL(os_, OpenProcessToken).WillOnce(Return(FALSE));
    EXPECT_CALL(os_, LookupPrivilegeValueA).Times(0);
    EXPECT_FALSE(info.ShutdownSystem(EWX_SHUTDOWN));
}

}  // namespace
}  // namespace quiver
