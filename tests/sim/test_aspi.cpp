#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/aspi.h"
#include "sim/aspi_srb.h"
#include "sim/drive.h"
#include "sim_faults.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

// A manager with two adapters: on adapter 0 a drive at target 1 and a type-only disk at
// target 2; adapter 1 is empty. Signalled events are recorded.
class AspiManagerTest : public ::testing::Test {
  protected:
    AspiManagerTest() {
        auto& config = manager_->config();
        config.adapters.resize(2);
        config.adapters[0].identifier = "ATAPI BUS 0";
        config.adapters[0].scsiId = 6;
        config.adapters[0].devices.push_back(AspiDevice{1, 0, 5, &drive_});
        config.adapters[0].devices.push_back(AspiDevice{2, 0, 0, nullptr});
    }

    AspiManager& manager() { return *manager_; }

    // Waits in real time (bounded) until `event` was signalled.
    bool WaitSignal(void* event) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, 60s, [&] {
            return std::find(signalled_.begin(), signalled_.end(), event) != signalled_.end();
        });
    }

    // Polls SRB_Status the way a caller without an event does, bounded in real time.
    static std::uint8_t PollStatus(const void* srb) {
        const auto until = std::chrono::steady_clock::now() + 60s;
        std::uint8_t status = srb::LoadSrbStatus(srb);
        while (status == srb::kPending && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
            status = srb::LoadSrbStatus(srb);
        }
        return status;
    }

    static srb::ExecSCSICmd Inquiry(std::uint8_t* buffer, std::uint8_t target = 1) {
        srb::ExecSCSICmd req{};
        req.SRB_Cmd = srb::kExecScsiCmd;
        req.SRB_Target = target;
        req.SRB_Flags = srb::kDirIn;
        req.SRB_BufLen = 96;
        req.SRB_BufPointer = buffer;
        req.SRB_SenseLen = 14;
        req.SRB_CDBLen = 12;
        req.CDBByte[0] = 0x12;
        req.CDBByte[4] = 96;
        return req;
    }

    Clock clock_;
    Drive drive_{clock_, DriveConfig{}};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<void*> signalled_;
    std::unique_ptr<AspiManager> manager_ = std::make_unique<AspiManager>(clock_, [this](void* e) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_.push_back(e);
        }
        cv_.notify_all();
    });
};

TEST_F(AspiManagerTest, SupportInfoCarriesStatusAndAdapterCount) {
    EXPECT_EQ(manager().GetSupportInfo(), 0x0102u);
    manager().config().supportStatus = 0xE3;
    manager().config().adapters.clear();
    EXPECT_EQ(manager().GetSupportInfo(), 0xE300u);
}

TEST_F(AspiManagerTest, AdapterInquiryAnswersKnownAdaptersOnly) {
    srb::HAInquiry req{};
    req.SRB_Cmd = srb::kHaInquiry;
    EXPECT_EQ(manager().SendCommand(&req), srb::kComp);
    EXPECT_EQ(req.SRB_Status, srb::kComp);
    EXPECT_EQ(req.HA_Count, 2);
    EXPECT_EQ(req.HA_SCSI_ID, 6);
    EXPECT_EQ(std::memcmp(req.HA_ManagerId, "ASPI for WIN32  ", 16), 0);
    EXPECT_EQ(std::memcmp(req.HA_Identifier, "ATAPI BUS 0     ", 16), 0);

    srb::HAInquiry beyond{};
    beyond.SRB_Cmd = srb::kHaInquiry;
    beyond.SRB_HaId = 2;
    EXPECT_EQ(manager().SendCommand(&beyond), srb::kInvalidHa);
    EXPECT_EQ(beyond.SRB_Status, srb::kInvalidHa);
    EXPECT_EQ(beyond.HA_Count, 0);
}

TEST_F(AspiManagerTest, DeviceTypeRescanAndUnknownCommands) {
    auto devType = [&](std::uint8_t ha, std::uint8_t target, std::uint8_t lun, std::uint8_t* type) {
        srb::GDEVBlock req{};
        req.SRB_Cmd = srb::kGetDevType;
        req.SRB_HaId = ha;
        req.SRB_Target = target;
        req.SRB_Lun = lun;
        const auto status = manager().SendCommand(&req);
        EXPECT_EQ(req.SRB_Status, status);
        *type = req.SRB_DeviceType;
        return status;
    };
    std::uint8_t type = 0xAA;
    EXPECT_EQ(devType(0, 1, 0, &type), srb::kComp);
    EXPECT_EQ(type, 5);
    EXPECT_EQ(devType(0, 2, 0, &type), srb::kComp);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(devType(0, 1, 1, &type), srb::kNoDevice);
    EXPECT_EQ(devType(1, 1, 0, &type), srb::kNoDevice);
    EXPECT_EQ(devType(2, 1, 0, &type), srb::kInvalidHa);

    srb::RescanPort rescan{};
    rescan.SRB_Cmd = srb::kRescanScsiBus;
    rescan.SRB_HaId = 1;
    EXPECT_EQ(manager().SendCommand(&rescan), srb::kComp);

    srb::Header unknown{};
    unknown.SRB_Cmd = 0x55;
    EXPECT_EQ(manager().SendCommand(&unknown), srb::kInvalidCmd);
    EXPECT_EQ(unknown.SRB_Status, srb::kInvalidCmd);
    EXPECT_EQ(manager().SendCommand(nullptr), srb::kInvalidSrb);

    EXPECT_EQ(manager().RequestCount(srb::kGetDevType), 5u);
    EXPECT_EQ(manager().RequestCount(srb::kRescanScsiBus), 1u);
}

TEST_F(AspiManagerTest, SynchronousExecutionReportsEachOutcome) {
    manager().config().asynchronous = false;
    std::uint8_t data[96] = {};

    auto good = Inquiry(data);
    EXPECT_EQ(manager().SendCommand(&good), srb::kComp);
    EXPECT_EQ(good.SRB_Status, srb::kComp);
    EXPECT_EQ(good.SRB_HaStat, 0);
    EXPECT_EQ(good.SRB_TargStat, 0);
    EXPECT_EQ(std::memcmp(data + 8, "Korvane ", 8), 0);
    EXPECT_EQ(good.SRB_BufLen, 96u);

    // The request leaves with the bytes its data phase moved.
    auto cut = Inquiry(data);
    cut.CDBByte[4] = 36;
    EXPECT_EQ(manager().SendCommand(&cut), srb::kComp);
    EXPECT_EQ(cut.SRB_BufLen, 36u);

    // The sense area takes SRB_SenseLen bytes of fixed-format sense, no more.
    drive_.AddFault(MakeFault(Fault::Kind::SenseData, 0x12, Sense{5, 0x24, 0x01}));
    auto check = Inquiry(data);
    check.SenseArea[14] = 0xEE;
    EXPECT_EQ(manager().SendCommand(&check), srb::kErr);
    EXPECT_EQ(check.SRB_HaStat, 0);
    EXPECT_EQ(check.SRB_TargStat, 2);
    EXPECT_EQ(check.SenseArea[0], 0x70);
    EXPECT_EQ(check.SenseArea[2], 5);
    EXPECT_EQ(check.SenseArea[12], 0x24);
    EXPECT_EQ(check.SenseArea[13], 0x01);
    EXPECT_EQ(check.SenseArea[14], 0xEE);
    // A manager that leaves the sense data alone to tell.
    manager().config().checkConditionStatus = srb::kComp;
    drive_.AddFault(MakeFault(Fault::Kind::SenseData, 0x12, Sense{5, 0x24, 0x01}));
    auto told = Inquiry(data);
    EXPECT_EQ(manager().SendCommand(&told), srb::kComp);
    EXPECT_EQ(told.SRB_TargStat, 2);
    EXPECT_EQ(told.SenseArea[2], 5);

    drive_.AddFault(MakeFault(Fault::Kind::TransportFailure, 0x12));
    auto lost = Inquiry(data);
    EXPECT_EQ(manager().SendCommand(&lost), srb::kErr);
    EXPECT_EQ(lost.SRB_HaStat, 0x11);
    EXPECT_EQ(lost.SenseArea[2], 0);

    auto typeOnly = Inquiry(data, 2);
    EXPECT_EQ(manager().SendCommand(&typeOnly), srb::kNoDevice);
    EXPECT_EQ(typeOnly.SRB_Status, srb::kNoDevice);
}

TEST_F(AspiManagerTest, RequestsTheDeviceCannotCarryOutSafelyAreRefused) {
    manager().config().asynchronous = false;
    std::uint8_t data[96] = {};
    auto noCdb = Inquiry(data);
    noCdb.SRB_CDBLen = 0;
    EXPECT_EQ(manager().SendCommand(&noCdb), srb::kInvalidSrb);
    auto longCdb = Inquiry(data);
    longCdb.SRB_CDBLen = 17;
    EXPECT_EQ(manager().SendCommand(&longCdb), srb::kInvalidSrb);
    auto noBuffer = Inquiry(nullptr);
    EXPECT_EQ(manager().SendCommand(&noBuffer), srb::kInvalidSrb);
    EXPECT_TRUE(drive_.Log().empty());

    // Without a direction the length is carried but no buffer is touched.
    auto noData = Inquiry(nullptr);
    noData.SRB_Flags = 0;
    noData.CDBByte[0] = 0x00;  // TEST UNIT READY
    noData.CDBByte[4] = 0;
    manager().SendCommand(&noData);
    ASSERT_EQ(drive_.Log().size(), 1u);
    EXPECT_EQ(drive_.Log()[0].dir, DataDir::None);
}

TEST_F(AspiManagerTest, AsynchronousRequestCompletesOnItsThreadAndSignalsItsEvent) {
    std::uint8_t data[96] = {};
    void* const event = reinterpret_cast<void*>(0x7E004);
    auto req = Inquiry(data);
    req.SRB_Flags |= srb::kEventNotify;
    req.SRB_PostProc = event;
    EXPECT_EQ(manager().SendCommand(&req), srb::kPending);
    ASSERT_TRUE(WaitSignal(event));
    // The signal came after the status: a plain read is enough once the event is seen.
    EXPECT_EQ(req.SRB_Status, srb::kComp);
    EXPECT_EQ(std::memcmp(data + 16, "DVDRW KMR-730T  ", 16), 0);
}

TEST_F(AspiManagerTest, AsynchronousRequestCanBePolledWithoutEvent) {
    std::uint8_t data[96] = {};
    drive_.AddFault(MakeFault(Fault::Kind::SenseData, 0x12, Sense{2, 0x04, 0x01}));
    auto req = Inquiry(data);
    EXPECT_EQ(manager().SendCommand(&req), srb::kPending);
    EXPECT_EQ(PollStatus(&req), srb::kErr);
    EXPECT_EQ(req.SenseArea[12], 0x04);
    EXPECT_TRUE(signalled_.empty());
}

TEST_F(AspiManagerTest, HeldRequestsWaitAndCanBeAborted) {
    std::uint8_t data[96] = {};
    manager().Hold(true);
    auto first = Inquiry(data);
    first.SRB_Flags |= srb::kEventNotify;
    first.SRB_PostProc = reinterpret_cast<void*>(0x7E008);
    auto second = Inquiry(data);
    EXPECT_EQ(manager().SendCommand(&first), srb::kPending);
    EXPECT_EQ(manager().SendCommand(&second), srb::kPending);
    EXPECT_EQ(manager().Busy(), 0);  // held requests keep nobody's wait alive
    EXPECT_EQ(manager().Queued(), 2);

    srb::Abort abort{};
    abort.SRB_Cmd = srb::kAbortSrb;
    abort.SRB_ToAbort = &first;
    EXPECT_EQ(manager().SendCommand(&abort), srb::kComp);
    EXPECT_EQ(srb::LoadSrbStatus(&first), srb::kAborted);
    EXPECT_TRUE(WaitSignal(first.SRB_PostProc));
    EXPECT_EQ(manager().SendCommand(&abort), srb::kAbortFail);

    EXPECT_EQ(srb::LoadSrbStatus(&second), srb::kPending);
    EXPECT_EQ(manager().Busy(), 0);
    manager().Hold(false);
    EXPECT_EQ(PollStatus(&second), srb::kComp);
    EXPECT_EQ(drive_.Log().size(), 1u);
}

TEST_F(AspiManagerTest, DestructionDropsQueuedRequestsUntouched) {
    std::uint8_t data[96] = {};
    auto req = Inquiry(data);
    manager().Hold(true);
    EXPECT_EQ(manager().SendCommand(&req), srb::kPending);
    manager_.reset();
    EXPECT_EQ(req.SRB_Status, srb::kPending);
    EXPECT_TRUE(drive_.Log().empty());
}

}  // namespace
}  // namespace sim
