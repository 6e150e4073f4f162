// The operations made of several commands: waiting for the drive to become ready, the tray, and
// clearing pending unit attentions.
#include "device/atapi_device.h"
#include "device/command_set.h"
#include "platform/platform.h"

namespace quiver {

namespace {

constexpr int kPollMillis = 300;
constexpr int kNoMediumWaitSeconds = 30;

}  // namespace

bool AtapiDevice::WaitReady(int seconds) {
    bool timedOut = false;
    if (seconds > 0) {
        waitTimer_.Start(true);
    }
    // Without a performance counter the timer reads 0: count the pauses instead.
    double paused = 0.0;
    for (;;) {
        TestUnitReady();
        if (!(SenseIs(kNotReady, kLogicalUnitNotReady) || SenseKeyIs(kUnitAttention))) {
            break;
        }
        const double elapsed = !waitTimer_.unavailable() ? waitTimer_.Elapsed() : paused;
        if (seconds > 0 && elapsed >= static_cast<double>(seconds)) {
            timedOut = true;
            break;
        }
        SystemClock().Sleep(kPollMillis);
        paused += kPollMillis / 1000.0;
    }
    TestUnitReady();
    if (seconds > 0) {
        waitTimer_.Stop();
    }
    return !timedOut;
}

bool AtapiDevice::NoMedium() {
    WaitReady(kNoMediumWaitSeconds);
    return SenseIs(kNotReady, kMediumNotPresent);
}

bool AtapiDevice::TrayOpen() {
    return GetEventStatus(1, kMediaEventClass, 8, 0) && (readBuffer_.data()[5] & kTrayOpenBit) != 0;
}

bool AtapiDevice::LoadTray() {
    return StartStopUnit(0, 0, 1, 1);
}

bool AtapiDevice::EjectTray() {
    return StartStopUnit(0, 0, 1, 0);
}

bool AtapiDevice::StopUnit() {
    return StartStopUnit(0, 0, 0, 0);
}

void AtapiDevice::ClearUnitAttention() {
    for (int i = 0; i < kMaxUnitAttentions; ++i) {
        if (TestUnitReady() || !SenseKeyIs(kUnitAttention)) {
            return;
        }
    }
}

}  // namespace quiver
