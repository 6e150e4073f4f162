// OSInfo against the emulated system, which keeps the token's privileges and records every
// restart request with whether it was accepted.
#include <gtest/gtest.h>

#include <vector>

#include "host/os_info.h"
#include "platform/sim/sim_platform.h"
#include "sim/machine.h"

namespace quiver {
namespace {

constexpr std::uint32_t kForcedRestart = EWX_REBOOT | EWX_FORCE;

class OsInfoTest : public ::testing::Test {
  protected:
    std::vector<sim::RestartRequest> Requests() const { return machine_.Restarts(); }

    sim::Machine machine_;
    SimPlatform os_{machine_};
    ScopedPlatform scope_{os_};
};

TEST_F(OsInfoTest, FamilyFromTheVersionQuery) {
    EXPECT_TRUE(OSInfo().IsNTFamily());
    machine_.os.ntFamily = false;
    EXPECT_FALSE(OSInfo().IsNTFamily());
    machine_.os.versionQueryFails = true;  // taken as NT
    EXPECT_TRUE(OSInfo().IsNTFamily());
}

TEST_F(OsInfoTest, NtTakesTheShutdownPrivilegeAndForcesTheRestart) {
    EXPECT_TRUE(OSInfo().RestartSystem());
    EXPECT_TRUE(os_.ShutdownPrivilegeEnabled());
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Requests()[0].flags, kForcedRestart);
    EXPECT_EQ(Requests()[0].reason, 0u);
    EXPECT_TRUE(Requests()[0].accepted);
    EXPECT_EQ(os_.OpenHandleCount(), 0);  // the token is closed again
}

// Without the privilege (held by the account, or reachable through the token) nothing is
// requested; a request the system refuses is reported as such.
TEST_F(OsInfoTest, NtWithoutThePrivilegeRequestsNothing) {
    machine_.os.lacksShutdownPrivilege = true;
    EXPECT_FALSE(OSInfo().RestartSystem());
    EXPECT_FALSE(OSInfo().ShutdownSystem(EWX_SHUTDOWN));
    machine_.os.lacksShutdownPrivilege = false;
    machine_.os.tokenOpenFails = true;
    EXPECT_FALSE(OSInfo().RestartSystem());
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(os_.OpenHandleCount(), 0);

    machine_.os.tokenOpenFails = false;
    machine_.os.restartRefused = true;
    EXPECT_FALSE(OSInfo().RestartSystem());
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_FALSE(Requests()[0].accepted);
}

TEST_F(OsInfoTest, Win95LineRestartsWithoutAToken) {
    machine_.os.ntFamily = false;
    machine_.os.tokenOpenFails = true;  // never asked for
    EXPECT_TRUE(OSInfo().RestartSystem());
    machine_.os.restartRefused = true;
    EXPECT_FALSE(OSInfo().RestartSystem());
    ASSERT_EQ(Requests().size(), 2u);
    EXPECT_EQ(Requests()[0].flags, kForcedRestart);
    EXPECT_TRUE(Requests()[0].accepted);
    EXPECT_FALSE(Requests()[1].accepted);
    EXPECT_FALSE(os_.ShutdownPrivilegeEnabled());
}

}  // namespace
}  // namespace quiver
