#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace quiver {

namespace {
std::atomic<Platform*> g_platform{nullptr};
}  // namespace

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
