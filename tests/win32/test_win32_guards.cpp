// The flash guards on the real Win32 API, run on Windows (or Wine): the updater's mutex is one
// per machine, the system is held up and given back on the window thread, and the window
// answers the system's question whether the session may end.
#include <gtest/gtest.h>

#include "platform/flash_guards.h"
#include "platform/win32/win32_platform.h"
#include "ui/win32/win32_toolkit.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace quiver {
namespace {

class Win32GuardsTest : public ::testing::Test {
  protected:
    Win32Platform os;
    ScopedPlatform installed{os};
    WindowsFlashGuards guards;
};

TEST_F(Win32GuardsTest, OneUpdaterPerMachineUntilTheFirstGoes) {
    Guarded first = guards.ClaimMachine();
    ASSERT_EQ(first.result, GuardResult::Taken);
    // The global mutex, which every session of the machine sees.
    HANDLE seen = ::OpenMutexA(SYNCHRONIZE, FALSE, WindowsFlashGuards::kMutexName);
    EXPECT_NE(seen, nullptr);
    ::CloseHandle(seen);
    EXPECT_EQ(guards.ClaimMachine().result, GuardResult::Busy);
    first.guard.reset();
    EXPECT_EQ(guards.ClaimMachine().result, GuardResult::Taken);
}

// The execution state the thread had before a call is what the call returns: read it by
// asking for the same again.
TEST_F(Win32GuardsTest, TheSystemIsKeptAwakeUntilTheGuardGoes) {
    ui::win32::Win32Application app;
    std::unique_ptr<ui::FormBackend> form = app.CreateFormBackend();
    Guarded held = guards.HoldSystem(form->SystemHandle(), "Updater");
    ASSERT_EQ(held.result, GuardResult::Taken);
    const EXECUTION_STATE during = ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    EXPECT_EQ(during & (ES_CONTINUOUS | ES_SYSTEM_REQUIRED), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    held.guard.reset();
    const EXECUTION_STATE after = ::SetThreadExecutionState(ES_CONTINUOUS);
    EXPECT_EQ(after & ES_SYSTEM_REQUIRED, 0u);
}

TEST(Win32FormSession, TheFormAnswersWhetherTheSessionMayEnd) {
    ui::win32::Win32Application app;
    std::unique_ptr<ui::FormBackend> form = app.CreateFormBackend();
    auto frame = static_cast<::HWND>(form->SystemHandle());
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(SendMessageA(frame, WM_QUERYENDSESSION, 0, 0), TRUE);
    bool flashing = true;
    form->OnQueryEndSession = [&] { return !flashing; };
    EXPECT_EQ(SendMessageA(frame, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    flashing = false;
    EXPECT_EQ(SendMessageA(frame, WM_QUERYENDSESSION, 0, 0), TRUE);
}

}  // namespace
}  // namespace quiver
