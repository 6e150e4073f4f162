// The drive object on a system that names its drives itself, with no Win32-shaped platform
// installed: the scan takes the system's list (names, addresses, drives that cannot be opened),
// and the route maps the system's replies onto the transport's results, keeping its errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/atapi_device.h"
#include "device/command_set.h"
#include "platform/drive_access.h"
#include "platform/platform.h"

namespace quiver {
namespace {

// A clock that moves 1 ms per reading and with every sleep.
class StepClock : public Clock {
  public:
    BOOL QueryPerformanceFrequency(LARGE_INTEGER* f) override {
        f->QuadPart = 1000;
        return TRUE;
    }
    BOOL QueryPerformanceCounter(LARGE_INTEGER* c) override {
        c->QuadPart = ++now_;
        return TRUE;
    }
    void Sleep(DWORD ms) override { now_ += ms; }
    BOOL SwitchToThread() override { return FALSE; }

  private:
    std::int64_t now_ = 0;
};

// A drive that answers INQUIRY with its identity, or the reply the test has queued.
class ScriptedDrive : public OpenDrive {
  public:
    ScriptedDrive(DriveEntry entry, std::vector<DriveReply>* queue, std::string missing)
        : entry_(std::move(entry)), queue_(queue), missing_(std::move(missing)) {}
    const DriveEntry& Entry() const override { return entry_; }
    DriveReply Send(const DriveCommand& command) override {
        if (!queue_->empty()) {
            DriveReply reply = queue_->front();
            queue_->erase(queue_->begin());
            return reply;
        }
        DriveReply reply;
        if (command.block[0] == kOpInquiry && command.block[1] == 0 &&
            command.direction == DataDirection::FromDrive && command.length >= 36) {
            auto* data = static_cast<std::uint8_t*>(command.data);
            std::memset(data, 0, command.length);
            data[0] = 5;
            const std::string identity = entry_.vendor + entry_.model;  // 8 + 16 characters
            std::memcpy(data + 8, identity.data(), 24);
            std::memcpy(data + 32, entry_.revision.data(), 4);
            reply.transferred = 36;
        } else if (command.block[0] == kOpInquiry) {
            reply.status = 2;  // no serial number page
            reply.sense[0] = 0x70;
            reply.sense[2] = 5;
            reply.sense[12] = 0x24;
            reply.senseLength = 18;
        }
        return reply;
    }
    std::string MissingAccess() const override { return missing_; }
    int ClaimExclusive() override { return 0; }
    void ReleaseExclusive() override {}

  private:
    DriveEntry entry_;
    std::vector<DriveReply>* queue_;
    std::string missing_;
};

class ListedDrives : public DriveAccess {
  public:
    std::vector<DriveEntry> ListDrives() override { return drives; }
    std::unique_ptr<OpenDrive> Open(const std::string& name, std::string* problem) override {
        for (const DriveEntry& d : drives) {
            if (d.name == name && d.problem.empty()) {
                return std::make_unique<ScriptedDrive>(d, &replies, writeMissing);
            }
            if (d.name == name) {
                *problem = d.problem;
            }
        }
        return nullptr;
    }
    std::vector<DriveEntry> drives;
    std::vector<DriveReply> replies;
    std::string writeMissing;
};

DriveEntry Kmr(const std::string& name, int host, int target) {
    DriveEntry d;
    d.name = name;
    d.node = "/dev/" + name;
    d.vendor = "Korvane ";
    d.model = "DVDRW KMR-730T  ";
    d.revision = "QM01";
    d.host = host;
    d.channel = 0;
    d.target = target;
    d.lun = 0;
    return d;
}

class NativeDrivesTest : public ::testing::Test {
  protected:
    StepClock clock_;
    ListedDrives drives_;
    ScopedRoles roles_{{&clock_, nullptr, nullptr, &drives_}};
};

TEST_F(NativeDrivesTest, TheScanTakesNamesAndAddressesAndKeepsDrivesThatCannotBeOpened) {
    DriveEntry denied = Kmr("sr1", 0, 0);
    denied.problem = "/dev/sr1: permission denied";
    denied.missingAccess = "Reading the drive needs read access to /dev/sr1.";
    DriveEntry unaddressed = Kmr("sr10", -1, -1);
    drives_.drives = {Kmr("sr0", 1, 1), denied, unaddressed};
    ASSERT_FALSE(HasPlatform());

    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 3);
    EXPECT_TRUE(device.UsesNativeDrives());
    EXPECT_FALSE(device.UsesAspi());
    // Sorted by address: the denied drive (host 0) first, the made-up address last.
    const DriveRecord* first = device.RecordAt(0);
    EXPECT_STREQ(first->device_name, "sr1");
    EXPECT_STREQ(first->access_problem, "/dev/sr1: permission denied");
    EXPECT_EQ(first->identity[0], '\0');  // never asked: not admitted by any package
    const DriveRecord* second = device.RecordAt(1);
    EXPECT_STREQ(second->device_name, "sr0");
    EXPECT_EQ(second->adapter, 1);
    EXPECT_EQ(second->target_id, 1);
    EXPECT_EQ(second->address_reported, 1);
    EXPECT_EQ(second->root_path[0], '\0');  // no letter is made up
    EXPECT_EQ(std::string(second->identity, 24), "Korvane DVDRW KMR-730T  ");
    EXPECT_STREQ(second->revision, "QM01");
    EXPECT_EQ(second->serial_length, 0);  // ILLEGAL REQUEST: no serial number
    const DriveRecord* third = device.RecordAt(2);
    EXPECT_STREQ(third->device_name, "sr10");
    EXPECT_EQ(third->address_reported, 0);
    EXPECT_EQ(third->adapter, 2);
    EXPECT_EQ(device.ScanMissingAccess(), denied.missingAccess);
    EXPECT_EQ(device.MissingAccess(), "");  // nothing was refused on a drive it opened

    EXPECT_FALSE(device.SelectDrive(0));
    EXPECT_TRUE(device.SelectDrive(1));
    EXPECT_NE(device.NativeDrive(), nullptr);
    EXPECT_EQ(device.DeviceHandle(), nullptr);
    device.ReleaseDrive();
    EXPECT_FALSE(device.HasOpenHandle());
}

TEST_F(NativeDrivesTest, RepliesMapOntoResultsAndErrorsStayTheSystems) {
    drives_.drives = {Kmr("sr0", 1, 0)};
    drives_.writeMissing = "Writing firmware needs read-write access to /dev/sg0.";
    AtapiDevice device(true);
    ASSERT_TRUE(device.SelectDrive(0));
    const auto reply = [](auto fill) {
        DriveReply r;
        fill(r);
        return r;
    };
    drives_.replies = {
        reply([](DriveReply& r) { r.error = EACCES; }),
        reply([](DriveReply& r) { r.hostStatus = kHostTimeOut; }),
        reply([](DriveReply& r) { r.driverStatus = kDriverTimeOut; }),
        reply([](DriveReply& r) { r.hostStatus = 0x07; }),  // DID_ERROR
        reply([](DriveReply& r) { r.status = 8; }),         // BUSY without sense
        // Descriptor-format sense: NOT READY, MEDIUM NOT PRESENT.
        reply([](DriveReply& r) {
            r.status = 2;
            r.driverStatus = kDriverSense;
            r.sense[0] = 0x72;
            r.sense[1] = 2;
            r.sense[2] = 0x3A;
            r.sense[3] = 1;
            r.senseLength = 8;
        }),
        // More bytes than asked for are never reported.
        reply([](DriveReply& r) { r.transferred = 4096; }),
    };
    EXPECT_FALSE(device.TestUnitReady());
    EXPECT_EQ(device.LastCommandRecord().outcome, kOutcomeFailed);
    EXPECT_FALSE(device.TestUnitReady());
    EXPECT_TRUE(device.LastCommandRecord().timedOut);
    EXPECT_FALSE(device.TestUnitReady());
    EXPECT_TRUE(device.LastCommandRecord().timedOut);
    EXPECT_FALSE(device.TestUnitReady());
    EXPECT_FALSE(device.LastCommandRecord().timedOut);
    EXPECT_FALSE(device.TestUnitReady());
    EXPECT_EQ(device.LastCommandRecord().outcome, kOutcomeFailed);
    EXPECT_FALSE(device.TestUnitReady());
    EXPECT_EQ(device.LastCommandRecord().outcome, kOutcomeCheckCondition);
    EXPECT_TRUE(device.SenseIs(2, 0x3A));
    EXPECT_EQ(device.LastCommandRecord().ascq, 1);
    EXPECT_TRUE(device.ReadBuffer(0, 16));
    EXPECT_EQ(device.LastCommandRecord().transferred, 16u);

    EXPECT_EQ(device.MissingAccess(), drives_.writeMissing);
    device.ReleaseDrive();  // the line outlives the open drive
    EXPECT_EQ(device.MissingAccess(), drives_.writeMissing);
}

TEST_F(NativeDrivesTest, TheOsErrorIsTheSystemsOwnCode) {
    drives_.drives = {Kmr("sr0", 1, 0)};
    AtapiDevice device(true);
    ASSERT_TRUE(device.SelectDrive(0));
    SgioTransport route;
    DriveReply refused;
    refused.error = EPERM;
    drives_.replies = {refused};
    const std::uint8_t block[12] = {kOpWriteBuffer};
    HiTimer timer;
    const TransportResult result = route.Execute(
        {block, kNoData, nullptr, 0, 60, {nullptr, device.NativeDrive(), 1, 0, 0}}, timer);
    EXPECT_EQ(result.status, TransportStatus::OsError);
    EXPECT_EQ(result.osError, static_cast<std::uint32_t>(EPERM));
    EXPECT_FALSE(route.Reaches({}));
}

}  // namespace
}  // namespace quiver
