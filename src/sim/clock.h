// The emulated machine's clock. Everything timed on the emulated PC (the performance counter,
// Sleep, event waits, the drives' own delays) runs on it.
//
// Two modes:
//  - virtual: time moves only when somebody sleeps, waits or reads the counter. Sleeping is
//    instantaneous in real time, and every counter read moves time on by a small tick, so that
//    a loop that spins on the counter still gets somewhere. Deterministic for one thread; the
//    mode of the tests.
//  - scaled: emulated time is real time multiplied by a speed factor (1 = real time, for demos
//    and benchmarks; 1000 makes a 120-second wait take 0.12 s).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace sim {

class Clock {
  public:
    // The counter runs at 10 MHz, like the performance counter of the systems we emulate.
    static constexpr std::int64_t kCounterFrequency = 10'000'000;
    static constexpr std::int64_t kNanosPerCount = 1'000'000'000 / kCounterFrequency;

    enum class Mode { Virtual, Scaled };

    // A virtual clock starting at 0 with a 10 µs tick per counter read.
    Clock();

    void SetVirtual(std::int64_t tickNanos = 10'000);
    // factor > 0: emulated seconds per real second.
    void SetScaled(double factor);

    Mode mode() const { return mode_.load(std::memory_order_acquire); }
    double factor() const { return factor_.load(std::memory_order_acquire); }

    // Emulated time in nanoseconds since the clock was made. Does not tick.
    std::int64_t NowNanos() const;
    double NowSeconds() const { return static_cast<double>(NowNanos()) / 1e9; }

    // The performance counter: emulated time in counts of 100 ns. In virtual mode each read
    // moves time on by the tick.
    std::int64_t ReadCounter();

    // Lets the given emulated time pass for the calling thread. In scaled mode the sleeps of one
    // thread keep to a schedule: what the system added to a sleep by waking the thread late is
    // taken off the thread's next sleeps (at most kMaxMakeUp of real time is carried over), so
    // that many short sleeps add up to the emulated time asked for rather than to the system's
    // wake-up latency times the speed factor. A single sleep may then end early; all the sleeps
    // of a thread since its schedule began never take less, together, than asked.
    void SleepNanos(std::int64_t nanos);
    void SleepSeconds(double seconds) { SleepNanos(static_cast<std::int64_t>(seconds * 1e9)); }
    void SleepMillis(std::uint32_t millis) {
        SleepNanos(static_cast<std::int64_t>(millis) * 1'000'000);
    }

    // Virtual mode: moves time on to at least the given instant (no-op when already past).
    // Scaled mode: waits in real time until then.
    void AdvanceTo(std::int64_t nanos);

    // Real time that the given emulated span takes in the current mode (0 in virtual mode).
    std::chrono::nanoseconds RealFor(std::int64_t emulatedNanos) const;

    static constexpr std::chrono::microseconds kMaxMakeUp{2000};

  private:
    std::atomic<Mode> mode_{Mode::Virtual};
    std::atomic<double> factor_{1.0};
    std::atomic<std::int64_t> tick_{10'000};
    // Virtual mode: the current time. Scaled mode: the emulated time at realBase_.
    std::atomic<std::int64_t> virtualNow_{0};
    std::atomic<std::int64_t> realBase_{0};  // steady_clock nanoseconds
    std::atomic<std::uint64_t> schedule_;    // the current schedule of the sleeping threads
};

}  // namespace sim
