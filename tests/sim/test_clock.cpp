#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sim/clock.h"

namespace sim {
namespace {

// Twelve days of virtual sleep: slept in real time, the test would never end.
TEST(Clock, VirtualSleepTakesNoRealTime) {
    Clock clock;
    clock.SleepSeconds(1e6);
    EXPECT_DOUBLE_EQ(clock.NowSeconds(), 1e6);
}

TEST(Clock, VirtualCounterReadsTickSoSpinsEnd) {
    Clock clock;
    clock.SetVirtual(1'000);  // 1 µs a read
    const std::int64_t first = clock.ReadCounter();
    std::int64_t now = first;
    int reads = 0;
    while (now - first < Clock::kCounterFrequency / 100) {  // 10 ms of counter
        now = clock.ReadCounter();
        ++reads;
    }
    EXPECT_EQ(reads, 10'000);
    EXPECT_GT(clock.ReadCounter(), now);
}

TEST(Clock, VirtualAdvanceToNeverGoesBack) {
    Clock clock;
    clock.SleepSeconds(5.0);
    clock.AdvanceTo(1'000'000'000);
    EXPECT_DOUBLE_EQ(clock.NowSeconds(), 5.0);
    clock.AdvanceTo(7'000'000'000);
    EXPECT_DOUBLE_EQ(clock.NowSeconds(), 7.0);
}

TEST(Clock, VirtualSleepsFromSeveralThreadsAllCount) {
    Clock clock;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 100; ++j)
                clock.SleepMillis(10);
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_DOUBLE_EQ(clock.NowSeconds(), 4.0);
}

// A day of emulated sleep at x1,000,000 takes a tenth of a second, never less; slept in real
// time, the test would never end. How closely it keeps to its time is measured in bench/.
TEST(Clock, ScaledRunsFasterThanRealTime) {
    Clock clock;
    clock.SetScaled(1e6);
    const auto start = std::chrono::steady_clock::now();
    const double before = clock.NowSeconds();
    clock.SleepSeconds(86400.0);
    const auto real = std::chrono::steady_clock::now() - start;
    EXPECT_GE(clock.NowSeconds() - before, 86400.0);
    EXPECT_GE(real, std::chrono::microseconds(86400));
}

TEST(Clock, ScaledAtOneIsRealTime) {
    Clock clock;
    clock.SetScaled(1.0);
    const double before = clock.NowSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(clock.NowSeconds() - before, 0.045);
    EXPECT_EQ(clock.RealFor(2'000'000'000), std::chrono::seconds(2));
}

// 8000 sleeps of 10 ms at x1000 ask for 10 µs of real time each; what a late wake-up overran
// is taken off the next sleeps, but together they never take less than asked. How close to the
// 80 s they come is a matter of the host's load: bench/ measures it.
TEST(Clock, ScaledShortSleepsNeverTakeLessThanAsked) {
    Clock clock;
    clock.SetScaled(1000.0);
    const double before = clock.NowSeconds();
    for (int i = 0; i < 8000; ++i) {
        clock.SleepMillis(10);
    }
    EXPECT_GE(clock.NowSeconds() - before, 80.0);
}

// What a thread overran on one clock or at one speed is not made up on another.
TEST(Clock, ScaledScheduleStartsAfreshWithANewSpeed) {
    Clock clock;
    clock.SetScaled(1000.0);
    clock.SleepMillis(1);  // 1 µs of real time: overruns by far more
    clock.SetScaled(1.0);
    const auto start = std::chrono::steady_clock::now();
    clock.SleepMillis(5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
}

TEST(Clock, SwitchingModesKeepsTimeMonotonic) {
    Clock clock;
    clock.SleepSeconds(10.0);
    clock.SetScaled(100.0);
    EXPECT_GE(clock.NowSeconds(), 10.0);
    clock.SetVirtual();
    const double t = clock.NowSeconds();
    EXPECT_GE(t, 10.0);
    clock.SleepSeconds(1.0);
    EXPECT_DOUBLE_EQ(clock.NowSeconds(), t + 1.0);
}

}  // namespace
}  // namespace sim
