#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace quiver {

namespace {
std::atomic<Platform*> g_platform{nullptr};
std::atomic<Clock*> g_clock{nullptr};
std::atomic<TextCollation*> g_collation{nullptr};
std::atomic<PowerControl*> g_power{nullptr};
std::atomic<DriveAccess*> g_drives{nullptr};

void Store(const SystemRoles& roles) {
    g_clock.store(roles.clock, std::memory_order_release);
    g_collation.store(roles.collation, std::memory_order_release);
    g_power.store(roles.power, std::memory_order_release);
    g_drives.store(roles.drives, std::memory_order_release);
}

}  // namespace

Clock& SystemClock() {
    Clock* clock = g_clock.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : Os();
}

bool HasSystemClock() {
    return g_clock.load(std::memory_order_acquire) != nullptr || HasPlatform();
}

TextCollation& Collation() {
    TextCollation* collation = g_collation.load(std::memory_order_acquire);
    return collation != nullptr ? *collation : Os();
}

PowerControl* NativePower() {
    return g_power.load(std::memory_order_acquire);
}

DriveAccess* NativeDrives() {
    return g_drives.load(std::memory_order_acquire);
}

ScopedRoles::ScopedRoles(const SystemRoles& roles)
    : previous_{g_clock.load(std::memory_order_acquire),
                g_collation.load(std::memory_order_acquire),
                g_power.load(std::memory_order_acquire), g_drives.load(std::memory_order_acquire)} {
    Store(roles);
}

ScopedRoles::~ScopedRoles() {
    Store(previous_);
}

Platform& Os() {
    Platform* p = g_platform.load(std::memory_order_acquire);
    if (p == nullptr) {
        std::fputs("quiver: no platform installed\n", stderr);
        std::abort();
    }
    return *p;
}

bool HasPlatform() {
    return g_platform.load(std::memory_order_acquire) != nullptr;
}

void SetPlatform(Platform* platform) {
    g_platform.store(platform, std::memory_order_release);
}

ScopedPlatform::ScopedPlatform(Platform& platform)
    : previous_(g_platform.exchange(&platform, std::memory_order_acq_rel)) {}

ScopedPlatform::~ScopedPlatform() {
    g_platform.store(previous_, std::memory_order_release);
}

}  // namespace quiver
