#include "host/hi_timer.h"

#include <atomic>
#include <cmath>

#include "platform/platform.h"

namespace quiver {

namespace {
std::atomic<ProcessMessagesHook> g_process_messages{nullptr};

void ProcessMessages() {
    if (ProcessMessagesHook hook = g_process_messages.load(std::memory_order_acquire)) {
        hook();
    }
}
}  // namespace

void SetProcessMessagesHook(ProcessMessagesHook hook) {
    g_process_messages.store(hook, std::memory_order_release);
}

ProcessMessagesHook GetProcessMessagesHook() {
    return g_process_messages.load(std::memory_order_acquire);
}

HiTimer::HiTimer() {
    LARGE_INTEGER frequency{};
    if (!SystemClock().QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        unavailable_ = true;
        return;
    }
    frequency_ = frequency.QuadPart;
    Start(false);
    Stop();
    overhead_ = total_;
    start_count_ = 0;
    stop_count_ = 0;
    total_ = 0;
}

HiTimer::~HiTimer() {
    if (running_ && !unavailable_) {
        Stop();
    }
}

std::int64_t HiTimer::ReadCounter() const {
    LARGE_INTEGER count{};
    SystemClock().QueryPerformanceCounter(&count);
    return count.QuadPart;
}

std::int64_t HiTimer::CurrentRunCounts() const {
    const std::int64_t counts = stop_count_ - start_count_ - overhead_;
    return counts > 0 ? counts : 0;
}

void HiTimer::Start(bool reset) {
    if (unavailable_) {
        return;
    }
    if (reset) {
        Reset();
    }
    start_count_ = ReadCounter();
    running_ = true;
}

void HiTimer::Stop() {
    if (unavailable_ || !running_) {
        return;
    }
    stop_count_ = ReadCounter();
    total_ += CurrentRunCounts();
    start_count_ = 0;
    running_ = false;
}

void HiTimer::Reset() {
    if (unavailable_) {
        return;
    }
    Stop();
    total_ = 0;
}

double HiTimer::Elapsed() {
    if (unavailable_ || !running_) {
        return 0.0;
    }
    stop_count_ = ReadCounter();
    return static_cast<double>(CurrentRunCounts()) / static_cast<double>(frequency_);
}

double HiTimer::Total() const {
    if (unavailable_) {
        return 0.0;
    }
    const std::int64_t counts = running_ ? total_ + CurrentRunCounts() : total_;
    return static_cast<double>(counts) / static_cast<double>(frequency_);
}

void HiTimer::Delay(double seconds) {
    if (unavailable_) {
        // Without a counter Elapsed() stays 0.0 and the spin below would never end: sleep
        // through the wait instead, a slice at a time.
        if (!(seconds > 0.0)) {
            return;
        }
        double remaining_ms = std::ceil(seconds * 1000.0);
        while (remaining_ms > 0.0) {
            ProcessMessages();
            const double slice = remaining_ms < kDelaySliceMs ? remaining_ms : kDelaySliceMs;
            SystemClock().Sleep(static_cast<DWORD>(slice));
            remaining_ms -= slice;
        }
        return;
    }
    // The wait spins and never sleeps, so it ends on the first pass after its time. Each pass
    // gives up the rest of the thread's time slice, though: with a worker per drive pausing at
    // once there may be many more spinning threads than processors, and the workers still
    // transferring and the window thread must not wait behind them for the processors.
    Start(true);
    while (Elapsed() < seconds) {
        ProcessMessages();
        SystemClock().SwitchToThread();
    }
    Stop();
}

}  // namespace quiver
