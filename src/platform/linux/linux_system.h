// The clock and timer, text comparison, and restart and power on Linux.
//
// - The counter is CLOCK_MONOTONIC in nanoseconds (frequency 1,000,000,000); a sleep is
//   nanosleep.
// - Text collates with the C library's LC_COLLATE; the program's entry sets the locale.
// - The process may restart the machine when it holds CAP_SYS_BOOT (libcap), or when the login
//   manager answers CanReboot (org.freedesktop.login1.Manager, over sd-bus) with "yes" or
//   "challenge". A restart syncs the file systems, asks the login manager to Reboot (or
//   PowerOff), and calls reboot(2) only when the login manager is not there or refuses and the
//   process holds CAP_SYS_BOOT.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace quiver {

class LinuxSystem final : public Clock, public TextCollation, public PowerControl {
  public:
    // The parts of the system a test replaces. Every empty member takes the real one.
    struct Hooks {
        std::function<std::int64_t()> monotonicNanos;
        std::function<void(DWORD)> sleep;
        // Whether the process holds CAP_SYS_BOOT in its effective set.
        std::function<bool()> hasSysBoot;
        // reboot(2) with RB_AUTOBOOT (true) or RB_POWER_OFF; true when it returned success.
        std::function<bool(bool reboot)> rebootCall;
    };

    struct Settings {
        // The D-Bus address of the bus with the login manager; empty: the system bus.
        std::string busAddress;
        int busTimeoutMilliseconds = 5000;
    };

    LinuxSystem() : LinuxSystem(Hooks{}) {}
    explicit LinuxSystem(Hooks hooks) : LinuxSystem(std::move(hooks), Settings()) {}
    LinuxSystem(Hooks hooks, Settings settings);

    BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) override;
    BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) override;
    void Sleep(DWORD dwMilliseconds) override;
    BOOL SwitchToThread() override;

    int CompareStringA(LCID Locale, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                       const char* lpString2, int cchCount2) override;

    bool MayRestart() override;
    bool Restart(Action action) override;

  private:
    // The login manager's answer to a call with no argument ("CanReboot"), or to one with a
    // boolean (Reboot, PowerOff: `interactive` false). False when there is no answer.
    bool CallLogin(const char* method, bool withFlag, std::string* answer);

    Hooks hooks_;
    Settings settings_;
};

}  // namespace quiver
