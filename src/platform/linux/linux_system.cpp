#include "platform/linux/linux_system.h"

#include <sched.h>
#include <sys/capability.h>
#include <sys/reboot.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/collation.h"
#include "platform/linux/linux_bus.h"

namespace quiver {

namespace {

std::int64_t RealMonotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void RealSleep(DWORD milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1'000'000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

bool RealHasSysBoot() {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) {
        return false;
    }
    cap_flag_value_t value = CAP_CLEAR;
    const bool held =
        cap_get_flag(caps, CAP_SYS_BOOT, CAP_EFFECTIVE, &value) == 0 && value == CAP_SET;
    cap_free(caps);
    return held;
}

bool RealReboot(bool restart) {
    return reboot(restart ? RB_AUTOBOOT : RB_POWER_OFF) == 0;
}

}  // namespace

LinuxSystem::LinuxSystem(Hooks hooks, Settings settings)
    : hooks_(std::move(hooks)), settings_(std::move(settings)) {
    if (!hooks_.monotonicNanos) {
        hooks_.monotonicNanos = RealMonotonicNanos;
    }
    if (!hooks_.sleep) {
        hooks_.sleep = RealSleep;
    }
    if (!hooks_.hasSysBoot) {
        hooks_.hasSysBoot = RealHasSysBoot;
    }
    if (!hooks_.rebootCall) {
        hooks_.rebootCall = RealReboot;
    }
}

BOOL LinuxSystem::QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (lpFrequency == nullptr) {
        return FALSE;
    }
    lpFrequency->QuadPart = 1'000'000'000;
    return TRUE;
}

BOOL LinuxSystem::QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) {
        return FALSE;
    }
    lpPerformanceCount->QuadPart = hooks_.monotonicNanos();
    return TRUE;
}

void LinuxSystem::Sleep(DWORD dwMilliseconds) {
    hooks_.sleep(dwMilliseconds);
}

BOOL LinuxSystem::SwitchToThread() {
    return sched_yield() == 0 ? TRUE : FALSE;
}

int LinuxSystem::CompareStringA(LCID, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                                const char* lpString2, int cchCount2) {
    DWORD error = 0;
    return CollateStrings(dwCmpFlags, lpString1, cchCount1, lpString2, cchCount2, &error);
}

bool LinuxSystem::CallLogin(const char* method, bool withFlag, std::string* answer) {
    const linux_detail::BusPtr bus = linux_detail::OpenBus(settings_.busAddress);
    if (!bus) {
        return false;
    }
    sd_bus_set_method_call_timeout(
        bus.get(), static_cast<std::uint64_t>(settings_.busTimeoutMilliseconds) * 1000u);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int called =
        withFlag
            ? sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", method, &error, &reply, "b", 0)
            : sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", method, &error, &reply, "");
    sd_bus_error_free(&error);
    const linux_detail::MessagePtr owned(reply);
    if (called < 0) {
        return false;
    }
    if (answer != nullptr) {
        const char* text = nullptr;
        if (sd_bus_message_read(reply, "s", &text) < 0 || text == nullptr) {
            return false;
        }
        *answer = text;
    }
    return true;
}

bool LinuxSystem::MayRestart() {
    if (hooks_.hasSysBoot()) {
        return true;
    }
    std::string answer;
    return CallLogin("CanReboot", false, &answer) && (answer == "yes" || answer == "challenge");
}

bool LinuxSystem::Restart(Action action) {
    sync();
    if (CallLogin(action == Action::Reboot ? "Reboot" : "PowerOff", true, nullptr)) {
        return true;
    }
    return hooks_.hasSysBoot() && hooks_.rebootCall(action == Action::Reboot);
}

}  // namespace quiver
