// What the tests that run the whole program on the Linux backend share: a system clock that
// never waits in real time, restarts recorded instead of carried out, and the updaters' lock file
// in a directory of the test's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_system.h"
#include "platform/platform.h"

namespace quiver::linuxtest {

// Whether the SG_IO interposer is preloaded (ctest sets LD_PRELOAD for the tests that need it).
inline bool InterposerPreloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "quiver-sgio") != nullptr;
}

// Hooks for LinuxSystem whose clock moves on 1 ms at every reading and by the whole length of
// every sleep: the emulated drives run on their own clock.
inline LinuxSystem::Hooks VirtualClockHooks(std::atomic<std::int64_t>& now) {
    LinuxSystem::Hooks hooks;
    hooks.monotonicNanos = [&now] { return now.fetch_add(1'000'000) + 1'000'000; };
    hooks.sleep = [&now](DWORD ms) { now += static_cast<std::int64_t>(ms) * 1'000'000; };
    return hooks;
}

// Restarts are recorded, never carried out.
struct RecordedPower : PowerControl {
    bool MayRestart() override { return true; }
    bool Restart(Action) override {
        ++restarts;
        return true;
    }
    int restarts = 0;
};

// The Linux guards with the updaters' lock file in `directory` and no system bus.
inline std::shared_ptr<LinuxFlashGuards> GuardsLockingIn(const std::string& directory) {
    LinuxFlashGuards::Settings settings;
    settings.lockDirectories = {directory};
    settings.busAddress = "unix:path=/nonexistent/bus";
    return std::make_shared<LinuxFlashGuards>(settings);
}

}  // namespace quiver::linuxtest
