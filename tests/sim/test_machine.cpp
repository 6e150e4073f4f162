#include <gtest/gtest.h>

#include <chrono>

#include "sim/aspi_srb.h"
#include "sim/machine.h"
#include "sim_faults.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
constexpr std::int64_t kSecond = 1'000'000'000;

class RealTimer {
  public:
    std::chrono::steady_clock::duration Elapsed() const {
        return std::chrono::steady_clock::now() - start_;
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// A machine whose only drive sits on the ASPI manager at adapter 0, target 0.
class MachineTest : public ::testing::Test {
  protected:
    MachineTest() {
        machine_.AddDrive(DriveConfig{});
        machine_.AddAspiDevice(0, 0, 0, 0);
    }

    srb::ExecSCSICmd TestUnitReady(void* event) {
        srb::ExecSCSICmd req{};
        req.SRB_Cmd = srb::kExecScsiCmd;
        req.SRB_Flags = srb::kEventNotify;
        req.SRB_PostProc = event;
        req.SRB_SenseLen = 14;
        req.SRB_CDBLen = 12;
        return req;
    }

    Machine machine_;
};

TEST_F(MachineTest, ManualEventStaysSignalledAutomaticOneIsConsumed) {
    void* manual = machine_.CreateEvent(true, false);
    void* automatic = machine_.CreateEvent(false, true);
    EXPECT_NE(manual, automatic);
    EXPECT_FALSE(machine_.WaitEvent(manual, 0));
    EXPECT_TRUE(machine_.SetEvent(manual));
    EXPECT_TRUE(machine_.WaitEvent(manual, 0));
    EXPECT_TRUE(machine_.WaitEvent(manual, 0));
    EXPECT_TRUE(machine_.ResetEvent(manual));
    EXPECT_FALSE(machine_.WaitEvent(manual, 0));

    EXPECT_TRUE(machine_.WaitEvent(automatic, 0));
    EXPECT_FALSE(machine_.WaitEvent(automatic, 0));

    EXPECT_TRUE(machine_.CloseEvent(manual));
    EXPECT_FALSE(machine_.IsEvent(manual));
    EXPECT_FALSE(machine_.SetEvent(manual));
    EXPECT_FALSE(machine_.WaitEvent(manual, -1));
    EXPECT_FALSE(machine_.CloseEvent(manual));
}

TEST_F(MachineTest, VirtualWaitThatNothingCanEndJumpsToItsDeadline) {
    void* event = machine_.CreateEvent(true, false);
    EXPECT_FALSE(machine_.WaitEvent(event, 120 * kSecond));
    EXPECT_EQ(machine_.clock.NowNanos(), 120 * kSecond);
}

TEST_F(MachineTest, WaitOnHeldRequestTimesOutAndTheRequestCompletesLater) {
    void* event = machine_.CreateEvent(true, false);
    auto req = TestUnitReady(event);
    machine_.aspi().Hold(true);
    ASSERT_EQ(machine_.aspi().SendCommand(&req), srb::kPending);
    EXPECT_FALSE(machine_.WaitEvent(event, 30 * kSecond));
    EXPECT_GE(machine_.clock.NowNanos(), 30 * kSecond);
    EXPECT_EQ(srb::LoadSrbStatus(&req), srb::kPending);

    machine_.aspi().Hold(false);
    EXPECT_TRUE(machine_.WaitEvent(event, -1));
    EXPECT_NE(req.SRB_Status, srb::kPending);
}

TEST_F(MachineTest, WaitEndsWhenTheManagerSignalsFromItsThread) {
    void* event = machine_.CreateEvent(false, false);
    for (int i = 0; i < 20; ++i) {
        auto req = TestUnitReady(event);
        ASSERT_EQ(machine_.aspi().SendCommand(&req), srb::kPending);
        ASSERT_TRUE(machine_.WaitEvent(event, 5 * kSecond)) << "round " << i;
        EXPECT_NE(req.SRB_Status, srb::kPending);
    }
}

// On the scaled clock a wait ends at its deadline, in scaled real time, while the request it
// waits for is still to run; the request's end, later, stays signalled. The request is held
// until the wait is over, so that a slow host cannot let it end first.
TEST_F(MachineTest, ScaledWaitShorterThanTheCommandTimesOut) {
    machine_.clock.SetScaled(1000.0);
    machine_.drive(0).AddFault(MakeFault(Fault::Kind::Delay, 0x00, Sense{}, 100.0));
    void* event = machine_.CreateEvent(true, false);
    auto req = TestUnitReady(event);
    machine_.aspi().Hold(true);
    ASSERT_EQ(machine_.aspi().SendCommand(&req), srb::kPending);
    const std::int64_t start = machine_.clock.NowNanos();
    EXPECT_FALSE(machine_.WaitEvent(event, kSecond));
    EXPECT_GE(machine_.clock.NowNanos() - start, kSecond);
    machine_.aspi().Hold(false);
    EXPECT_TRUE(machine_.WaitEvent(event, -1));
    EXPECT_GE(machine_.clock.NowNanos() - start, 100 * kSecond);
    EXPECT_TRUE(machine_.WaitEvent(event, 0));
}

TEST_F(MachineTest, ScaledWaitTimesOutInScaledRealTime) {
    machine_.clock.SetScaled(1000.0);
    void* event = machine_.CreateEvent(true, false);
    const RealTimer real;
    EXPECT_FALSE(machine_.WaitEvent(event, 50 * kSecond));  // 50 ms of real time
    EXPECT_GE(machine_.clock.NowNanos(), 50 * kSecond);
    EXPECT_GE(real.Elapsed(), 40ms);
}

TEST_F(MachineTest, AspiDevicesGrowTheAdapterList) {
    machine_.AddAspiDevice(2, 3, 0, -1, 0);
    const auto& adapters = machine_.aspi().config().adapters;
    ASSERT_EQ(adapters.size(), 3u);
    EXPECT_TRUE(adapters[1].devices.empty());
    EXPECT_EQ(adapters[2].devices[0].drive, nullptr);
    EXPECT_EQ(adapters[0].devices[0].drive, &machine_.drive(0));
}

}  // namespace
}  // namespace sim
