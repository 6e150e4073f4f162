// A stopwatch over the system's high-resolution performance counter, with a timed wait that
// keeps the calling thread's window messages flowing.
//
// Times are kept in counter counts and reported in seconds. Each run is measured net of what one
// start and stop pair costs, measured once when the timer is made. A timer belongs to one thread
// at a time and has no lock.
#pragma once

#include <cstdint>

namespace quiver {

// Processes the pending window messages of the calling thread, once. The window toolkit installs
// it; HiTimer::Delay calls it on every pass of its wait. It runs on whatever thread calls Delay
// (the window thread or a flashing worker), so it must touch only that thread's own messages,
// and do nothing on a thread that has none. Null (the default) processes nothing.
using ProcessMessagesHook = void (*)();
void SetProcessMessagesHook(ProcessMessagesHook hook);
ProcessMessagesHook GetProcessMessagesHook();

class HiTimer {
  public:
    // Reads the counter frequency and measures the overhead of a start and stop pair.
    HiTimer();
    // Stops the timer when it is running.
    ~HiTimer();
    HiTimer(const HiTimer&) = default;
    HiTimer& operator=(const HiTimer&) = default;

    // Reset() first when `reset` is true; then starts a run (a running timer restarts its run).
    void Start(bool reset);
    // Ends the current run and adds it to the total. Does nothing when the timer is not running.
    void Stop();
    // Stops a running timer and clears the total.
    void Reset();
    // Seconds of the current run, read now; 0.0 when not running.
    double Elapsed();
    // Seconds of the finished runs, plus the current run up to its last reading.
    double Total() const;
    // Waits `seconds`, processing the calling thread's messages on every pass, and leaves the
    // timer stopped with the wait as its total. The wait spins on the counter, yielding the
    // processor to any other ready thread between the passes. Without a performance counter
    // it sleeps instead, in slices of kDelaySliceMs with the messages processed between them,
    // so that it still ends.
    void Delay(double seconds);

    bool unavailable() const { return unavailable_; }
    bool running() const { return running_; }

    static constexpr std::uint32_t kDelaySliceMs = 10;

  private:
    std::int64_t ReadCounter() const;
    // Counts of the current run up to stop_count_, net of the overhead and never below 0.
    std::int64_t CurrentRunCounts() const;

    std::int64_t frequency_ = 0;    // counts per second
    std::int64_t start_count_ = 0;  // counter at the start of the current run
    std::int64_t stop_count_ = 0;   // counter at the last reading
    std::int64_t total_ = 0;        // counts of the finished runs, net of the overhead
    std::int64_t overhead_ = 0;     // counts of one start and stop pair
    bool unavailable_ = false;      // no performance counter: nothing is measured
    // Kept apart from start_count_: a counter may legitimately read 0.
    bool running_ = false;
};

}  // namespace quiver
