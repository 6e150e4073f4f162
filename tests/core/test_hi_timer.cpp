#include <gtest/gtest.h>

#include "host/hi_timer.h"
#include "mock_platform.h"

namespace quiver {
namespace {

using ::testing::_;

// A counter of 1000 counts a second that moves on by one count per read: one start and stop
// pair costs one count, which every run must leave out.
class HiTimerTest : public ::testing::Test {
  protected:
    HiTimerTest() {
        os_.UseCounter(1000, 1);
        current_ = &os_;
        passes_ = 0;
        SetProcessMessagesHook(&PumpAndLetTimePass);
    }
    ~HiTimerTest() override { SetProcessMessagesHook(nullptr); }

    static inline testing::MockPlatform* current_ = nullptr;
    static inline int passes_ = 0;
    static void PumpAndLetTimePass() {  // a message pass that takes 0.1 s
        ++passes_;
        current_->now += 100;
    }

    ::testing::NiceMock<testing::MockPlatform> os_;
    ScopedPlatform scope_{os_};
};

TEST_F(HiTimerTest, RunsAddUpNetOfTheOverhead) {
    HiTimer t;
    EXPECT_EQ(t.Elapsed(), 0.0);
    os_.now = -1;  // the next reading is 0, which must not look like a stopped timer
    t.Start(false);
    os_.now += 2000;
    EXPECT_DOUBLE_EQ(t.Elapsed(), 2.0);
    t.Stop();
    EXPECT_EQ(t.Elapsed(), 0.0);
    t.Start(false);
    os_.now += 3000;
    t.Stop();
    t.Stop();                             // not running: changes nothing
    EXPECT_NEAR(t.Total(), 5.0, 0.0015);  // the one Elapsed() reading took a count
    t.Start(true);
    os_.now += 500;
    t.Elapsed();
    os_.now += 9000;  // Total() of a running timer takes no new reading
    EXPECT_DOUBLE_EQ(t.Total(), 0.5);
}

TEST_F(HiTimerTest, DelayPumpsMessagesAndLeavesTheTimerStopped) {
    EXPECT_CALL(os_, Sleep(_)).Times(0);
    HiTimer t;
    t.Delay(1.0);
    EXPECT_FALSE(t.running());
    EXPECT_EQ(passes_, 10);
    EXPECT_GE(t.Total(), 1.0);
    EXPECT_LT(t.Total(), 1.1);
}

TEST_F(HiTimerTest, WithoutACounterNothingIsMeasuredAndDelaySleeps) {
    EXPECT_CALL(os_, QueryPerformanceFrequency(_)).WillOnce(::testing::Return(FALSE));
    EXPECT_CALL(os_, QueryPerformanceCounter(_)).Times(0);
    HiTimer t;
    t.Start(true);
    EXPECT_EQ(t.Elapsed(), 0.0);
    t.Stop();
    EXPECT_EQ(t.Total(), 0.0);
    {
        ::testing::InSequence order;
        EXPECT_CALL(os_, Sleep(10)).Times(2);
        EXPECT_CALL(os_, Sleep(5));
    }
    t.Delay(0.025);
    EXPECT_EQ(passes_, 3);
    t.Delay(-1.0);
}

}  // namespace
}  // namespace quiver
