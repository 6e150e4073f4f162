#include "sim/clock.h"

#include <algorithm>
#include <thread>

namespace sim {

namespace {

// Schedules are numbered across all clocks: a clock made where an earlier one was never
// inherits its schedule.
std::atomic<std::uint64_t> g_nextSchedule{1};

std::int64_t SteadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Clock::Clock() : schedule_(g_nextSchedule.fetch_add(1, std::memory_order_relaxed)) {}

void Clock::SetVirtual(std::int64_t tickNanos) {
    const std::int64_t now = NowNanos();
    tick_.store(tickNanos < 0 ? 0 : tickNanos, std::memory_order_release);
    virtualNow_.store(now, std::memory_order_release);
    mode_.store(Mode::Virtual, std::memory_order_release);
}

void Clock::SetScaled(double factor) {
    const std::int64_t now = NowNanos();
    factor_.store(factor > 0.0 ? factor : 1.0, std::memory_order_release);
    virtualNow_.store(now, std::memory_order_release);
    realBase_.store(SteadyNanos(), std::memory_order_release);
    schedule_.store(g_nextSchedule.fetch_add(1, std::memory_order_relaxed),
                    std::memory_order_release);
    mode_.store(Mode::Scaled, std::memory_order_release);
}

std::int64_t Clock::NowNanos() const {
    if (mode() == Mode::Virtual) {
        return virtualNow_.load(std::memory_order_acquire);
    }
    const double elapsed =
        static_cast<double>(SteadyNanos() - realBase_.load(std::memory_order_acquire));
    return virtualNow_.load(std::memory_order_acquire) +
           static_cast<std::int64_t>(elapsed * factor());
}

std::int64_t Clock::ReadCounter() {
    if (mode() == Mode::Virtual) {
        const std::int64_t tick = tick_.load(std::memory_order_acquire);
        return (virtualNow_.fetch_add(tick, std::memory_order_acq_rel) + tick) / kNanosPerCount;
    }
    return NowNanos() / kNanosPerCount;
}

void Clock::SleepNanos(std::int64_t nanos) {
    if (nanos <= 0) {
        std::this_thread::yield();
        return;
    }
    if (mode() == Mode::Virtual) {
        virtualNow_.fetch_add(nanos, std::memory_order_acq_rel);
        std::this_thread::yield();
        return;
    }
    // The system wakes a sleeping thread late (timer slack, scheduling), by tens of
    // microseconds: at a high speed factor that is milliseconds of emulated time on every
    // command a drive times with a sleep. So each thread keeps to a schedule: what a sleep
    // overran is taken off the thread's next sleeps, up to kMaxMakeUp of real time. The
    // schedule starts afresh with every clock and every change of speed.
    thread_local std::uint64_t t_schedule = 0;
    thread_local std::int64_t t_overrun = 0;  // emulated nanoseconds not yet made up
    const std::uint64_t schedule = schedule_.load(std::memory_order_acquire);
    if (t_schedule != schedule) {
        t_schedule = schedule;
        t_overrun = 0;
    }
    const std::int64_t wanted = nanos - t_overrun;
    if (wanted <= 0) {
        t_overrun -= nanos;
        std::this_thread::yield();
        return;
    }
    const std::int64_t start = NowNanos();
    std::this_thread::sleep_for(RealFor(wanted));
    const auto limit = static_cast<std::int64_t>(
        static_cast<double>(std::chrono::nanoseconds(kMaxMakeUp).count()) * factor());
    t_overrun = std::clamp<std::int64_t>(NowNanos() - start - wanted, 0, limit);
}

void Clock::AdvanceTo(std::int64_t nanos) {
    if (mode() == Mode::Virtual) {
        std::int64_t now = virtualNow_.load(std::memory_order_acquire);
        while (now < nanos &&
               !virtualNow_.compare_exchange_weak(now, nanos, std::memory_order_acq_rel)) {
        }
        return;
    }
    const std::int64_t now = NowNanos();
    if (nanos > now) {
        std::this_thread::sleep_for(RealFor(nanos - now));
    }
}

std::chrono::nanoseconds Clock::RealFor(std::int64_t emulatedNanos) const {
    if (mode() == Mode::Virtual || emulatedNanos <= 0) {
        return std::chrono::nanoseconds(0);
    }
    return std::chrono::nanoseconds(
        static_cast<std::int64_t>(static_cast<double>(emulatedNanos) / factor()));
}

}  // namespace sim
