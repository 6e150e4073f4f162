// The Linux drive access and sg3_utils against emulated drives, through the SG_IO interposer that
// the test runs preloaded with. Each test loads a machine file of its own: the interposer loads a
// new machine whenever QUIVER_SGIO_MACHINE names another file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/atapi_device.h"
#include "fake_sysfs.h"
#include "flash/firmware_download.h"
#include "formats/firmware_image.h"
#include "linux_rig.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_system.h"

namespace quiver {
namespace {

using linuxtest::FakeDrive;
using linuxtest::FakeSysfs;

class InterposerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!linuxtest::InterposerPreloaded()) {
            GTEST_SKIP() << "runs with the interposer preloaded (ctest sets LD_PRELOAD)";
        }
        const std::string dir = fs_.root() + "/";
        FakeSysfs::Write(dir + "machine.json", machineJson);
        setenv("QUIVER_SGIO_MACHINE", (dir + "machine.json").c_str(), 1);
        setenv("QUIVER_SGIO_STATE", (dir + "state").c_str(), 1);
        unsetenv("QUIVER_SGIO_RAWIO");
        unsetenv("QUIVER_SGIO_SETTLED");
        unsetenv("QUIVER_SGIO_DENIED");
        // The sysfs tree matching the machine; the interposer serves the dev nodes.
        fs_.Add({.sr = 0, .hctl = "1:0:0:0", .sg = 0, .devNode = false});
        fs_.Add({.sr = 1,
                 .hctl = "2:0:1:0",
                 .vendor = "OTHERCO",
                 .model = "DVD-ROM 16X",
                 .rev = "QM01",
                 .sg = 1,
                 .devNode = false});
    }

    // Runs a program of sg3_utils; its output, or nothing when it is not installed.
    static std::string Run(const char* program, const std::string& args, int* status = nullptr) {
        std::string out;
        if (program[0] == '\0') {
            return out;
        }
        FILE* pipe = popen((std::string(program) + " " + args + " 2>&1").c_str(), "r");
        char chunk[512];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
            out.append(chunk, got);
        }
        const int rc = pclose(pipe);
        if (status != nullptr) {
            *status = rc;
        }
        return out;
    }

    // One command on an open drive.
    struct Request {
        DriveReply reply;
        std::vector<std::uint8_t> data;
    };
    static Request Send(OpenDrive& drive, std::vector<std::uint8_t> cdb, DataDirection dir,
                        std::vector<std::uint8_t> data) {
        Request r;
        r.data = std::move(data);
        DriveCommand command;
        command.block = cdb.data();
        command.blockLength = static_cast<std::uint8_t>(cdb.size());
        command.direction = dir;
        command.data = r.data.empty() ? nullptr : r.data.data();
        command.length = static_cast<std::uint32_t>(r.data.size());
        command.timeLimit = 10;
        r.reply = drive.Send(command);
        return r;
    }

    std::string machineJson = linuxtest::kTwoDriveMachine;
    FakeSysfs fs_;
};

const std::vector<std::uint8_t> kInquiry = {0x12, 0, 0, 0, 0x60, 0, 0, 0, 0, 0, 0, 0};
const std::vector<std::uint8_t> kWriteBuffer16k = {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0x40, 0, 0, 0, 0};

TEST_F(InterposerTest, SgInqReadsBothDrivesAndTheBlockNodeRefusesWriteBuffer) {
    if (QUIVER_SG_INQ[0] == '\0' || QUIVER_SG_RAW[0] == '\0') {
        GTEST_SKIP() << "sg3-utils is not installed";
    }
    const std::string first = Run(QUIVER_SG_INQ, "/dev/sr0");
    EXPECT_NE(first.find("Vendor identification: Korvane"), std::string::npos) << first;
    EXPECT_NE(first.find("Product revision level: QM01"), std::string::npos) << first;
    const std::string second = Run(QUIVER_SG_INQ, "/dev/sg1");
    EXPECT_NE(second.find("Product identification: DVD-ROM 16X"), std::string::npos) << second;

    int status = 0;
    const std::string refused =
        Run(QUIVER_SG_RAW, "-s 16 -i /dev/zero /dev/sr0 3b 05 01 00 00 00 00 00 10 00", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(refused.find("not permitted"), std::string::npos) << refused;
    const std::string sent =
        Run(QUIVER_SG_RAW, "-s 16 -i /dev/zero /dev/sg0 3b 05 01 00 00 00 00 00 10 00", &status);
    EXPECT_EQ(sent.find("not permitted"), std::string::npos) << sent;
}

// Every process meets its drives just powered on; settled drives had their unit attention taken.
TEST_F(InterposerTest, SettledDrivesGiveNoPowerOnAttention) {
    if (QUIVER_SG_RAW[0] == '\0') {
        GTEST_SKIP() << "sg3-utils is not installed";
    }
    int status = 0;
    const std::string fresh = Run(QUIVER_SG_RAW, "/dev/sr0 00 00 00 00 00 00", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(fresh.find("Unit Attention"), std::string::npos) << fresh;
    setenv("QUIVER_SGIO_SETTLED", "1", 1);
    const std::string settled = Run(QUIVER_SG_RAW, "/dev/sr0 00 00 00 00 00 00", &status);
    EXPECT_EQ(settled.find("Unit Attention"), std::string::npos) << settled;
    EXPECT_NE(settled.find("Medium not present"), std::string::npos) << settled;  // no disc
}

const std::vector<std::uint8_t> kTestUnitReady(12, 0);
const std::vector<std::uint8_t> kReadBuffer16k = {0x3C, 0x01, 0x01, 0, 0, 0, 0, 0x40, 0, 0, 0, 0};

TEST_F(InterposerTest, TheBackendListsAndReadsBothDrivesOnTheirBlockNodes) {
    LinuxDrives drives(fs_.root(), {.hasRawIo = [] { return false; }, .report = {}});
    const std::vector<DriveEntry> listed = drives.ListDrives();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "sr0");
    EXPECT_EQ(listed[1].name, "sr1");
    EXPECT_EQ(listed[1].host, 2);
    EXPECT_EQ(listed[1].target, 1);
    std::string problem;
    const auto drive = drives.Open("sr1", &problem);
    ASSERT_NE(drive, nullptr) << problem;
    Send(*drive, kTestUnitReady, DataDirection::None, {});  // the power-on attention
    const Request r =
        Send(*drive, kInquiry, DataDirection::FromDrive, std::vector<std::uint8_t>(0x60));
    ASSERT_EQ(r.reply.error, 0);
    EXPECT_EQ(r.reply.status, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data.data()) + 8, 7), "OTHERCO");
    EXPECT_FALSE(drives.UsesGenericNode("sr1"));
    EXPECT_EQ(drives.Requests(), 2u);
}

// The block node's first refusal sends the drive's filtered commands to the generic node from
// then on, for every later opening of the drive too: one request per command after the first.
TEST_F(InterposerTest, TheGenericNodeIsChosenOnceAfterTheFirstRefusal) {
    LinuxDrives drives(fs_.root(), {.hasRawIo = [] { return false; }, .report = {}});
    std::string problem;
    auto drive = drives.Open("sr0", &problem);
    ASSERT_NE(drive, nullptr) << problem;
    Send(*drive, kTestUnitReady, DataDirection::None, {});
    std::vector<std::uint8_t> block(16384);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::uint64_t before = drives.Requests();
    ASSERT_EQ(Send(*drive, kWriteBuffer16k, DataDirection::ToDrive, block).reply.error, 0);
    EXPECT_EQ(drives.Requests() - before, 2u);  // refused on sr0, sent on sg0
    EXPECT_TRUE(drives.UsesGenericNode("sr0"));
    before = drives.Requests();
    ASSERT_EQ(Send(*drive, kWriteBuffer16k, DataDirection::ToDrive, block).reply.error, 0);
    EXPECT_EQ(drives.Requests() - before, 1u);
    // The data reached the drive: READ BUFFER passes the filter on the block node.
    const Request r =
        Send(*drive, kReadBuffer16k, DataDirection::FromDrive, std::vector<std::uint8_t>(16384));
    ASSERT_EQ(r.reply.error, 0);
    EXPECT_EQ(r.data, block);

    drive = drives.Open("sr0", &problem);
    before = drives.Requests();
    ASSERT_EQ(Send(*drive, kWriteBuffer16k, DataDirection::ToDrive, block).reply.error, 0);
    EXPECT_EQ(drives.Requests() - before, 1u);
    EXPECT_FALSE(drives.UsesGenericNode("sr1"));
}

TEST_F(InterposerTest, WithCapSysRawIoTheGenericNodeIsUsedFromTheStart) {
    setenv("QUIVER_SGIO_RAWIO", "1", 1);
    LinuxDrives drives(fs_.root(), {.hasRawIo = [] { return true; }, .report = {}});
    std::string problem;
    const auto drive = drives.Open("sr0", &problem);
    ASSERT_NE(drive, nullptr) << problem;
    EXPECT_TRUE(drives.UsesGenericNode("sr0"));
    Send(*drive, kTestUnitReady, DataDirection::None, {});
    const std::uint64_t before = drives.Requests();
    EXPECT_EQ(
        Send(*drive, kWriteBuffer16k, DataDirection::ToDrive, std::vector<std::uint8_t>(16384))
            .reply.error,
        0);
    EXPECT_EQ(drives.Requests() - before, 1u);

    // Without a generic node the capability lets the block node take the command.
    FakeSysfs noSg;
    noSg.Add({.sr = 0, .hctl = "1:0:0:0", .devNode = false});
    LinuxDrives bare(noSg.root(), {.hasRawIo = [] { return true; }, .report = {}});
    const auto blockOnly = bare.Open("sr0", &problem);
    ASSERT_NE(blockOnly, nullptr);
    EXPECT_EQ(
        Send(*blockOnly, kWriteBuffer16k, DataDirection::ToDrive, std::vector<std::uint8_t>(16384))
            .reply.error,
        0);
    EXPECT_FALSE(bare.UsesGenericNode("sr0"));
}

// The bytes a command moved are those SG_IO did not leave over.
TEST_F(InterposerTest, TransferLengthIsWhatTheResidualLeaves) {
    machineJson = R"({"drives": [{"name": "E", "faults": [
        {"kind": "short-transfer", "opcode": "0x12", "bytes": 36}]}]})";
    FakeSysfs::Write(fs_.root() + "/machine2.json", machineJson);
    setenv("QUIVER_SGIO_MACHINE", (fs_.root() + "/machine2.json").c_str(), 1);
    setenv("QUIVER_SGIO_SETTLED", "1", 1);
    LinuxDrives drives(fs_.root());
    std::string problem;
    const auto drive = drives.Open("sr0", &problem);
    ASSERT_NE(drive, nullptr);
    const Request r =
        Send(*drive, kInquiry, DataDirection::FromDrive, std::vector<std::uint8_t>(0x60));
    ASSERT_EQ(r.reply.error, 0);
    EXPECT_EQ(r.reply.transferred, 36u);
}

// Access the process lacks is named: the node and what would give it.
TEST_F(InterposerTest, RefusedNodesAreReportedWithTheAccessTheyNeed) {
    setenv("QUIVER_SGIO_DENIED", "sr1 sg0", 1);
    LinuxDrives drives(fs_.root(), {.hasRawIo = [] { return false; }, .report = {}});
    const std::vector<DriveEntry> listed = drives.ListDrives();
    unsetenv("QUIVER_SGIO_DENIED");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(listed[0].problem.empty());
    EXPECT_EQ(listed[1].problem, fs_.root() + "/dev/sr1: permission denied");
    EXPECT_EQ(listed[1].missingAccess, LinuxDrives::ReadAccessLine(fs_.root() + "/dev/sr1"));
    EXPECT_NE(listed[1].missingAccess.find("cdrom group"), std::string::npos);
    EXPECT_NE(listed[1].missingAccess.find("ACL"), std::string::npos);

    setenv("QUIVER_SGIO_DENIED", "sg0", 1);
    std::string problem;
    const auto drive = drives.Open("sr0", &problem);
    ASSERT_NE(drive, nullptr) << problem;
    Send(*drive, kTestUnitReady, DataDirection::None, {});
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Request w =
            Send(*drive, kWriteBuffer16k, DataDirection::ToDrive, std::vector<std::uint8_t>(16384));
        EXPECT_EQ(w.reply.error, EACCES);  // the system's own error, kept
    }
    unsetenv("QUIVER_SGIO_DENIED");
    const std::string missing = drive->MissingAccess();
    EXPECT_EQ(missing, LinuxDrives::WriteAccessLine(fs_.root() + "/dev/sg0"));
    EXPECT_NE(missing.find("CAP_SYS_RAWIO"), std::string::npos);

    // No generic node at all: the refusal stands, and the line says what would help.
    FakeSysfs noSg;
    noSg.Add({.sr = 0, .hctl = "1:0:0:0", .devNode = false});
    LinuxDrives bare(noSg.root(), {.hasRawIo = [] { return false; }, .report = {}});
    const auto blockOnly = bare.Open("sr0", &problem);
    ASSERT_NE(blockOnly, nullptr);
    const Request id = Send(*blockOnly, {0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0},
                            DataDirection::FromDrive, std::vector<std::uint8_t>(128));
    EXPECT_EQ(id.reply.error, EPERM);
    EXPECT_EQ(blockOnly->MissingAccess(), LinuxDrives::WriteAccessLine({}));
}

TEST_F(InterposerTest, StatusSenseAndTransportFailuresComeBackAsTheKernelGivesThem) {
    machineJson = R"({"drives": [{"name": "E", "faults": [
        {"kind": "sense", "opcode": "0x12", "sense": "5/24/00"},
        {"kind": "transport-failure", "opcode": "0x12", "first": 2},
        {"kind": "delay", "opcode": "0x12", "first": 3, "seconds": 30},
        {"kind": "vanish", "opcode": "0x12", "first": 5}]}]})";
    FakeSysfs::Write(fs_.root() + "/machine2.json", machineJson);
    setenv("QUIVER_SGIO_MACHINE", (fs_.root() + "/machine2.json").c_str(), 1);
    setenv("QUIVER_SGIO_SETTLED", "1", 1);
    LinuxDrives drives(fs_.root());
    std::string problem;
    const auto drive = drives.Open("sr0", &problem);
    ASSERT_NE(drive, nullptr);
    const auto inquiry = [&] {
        return Send(*drive, kInquiry, DataDirection::FromDrive, std::vector<std::uint8_t>(0x60))
            .reply;
    };
    DriveReply r = inquiry();  // CHECK CONDITION with sense
    ASSERT_EQ(r.error, 0);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.senseLength, 18);
    EXPECT_EQ(r.sense[2] & 0x0F, 5);
    EXPECT_EQ(r.sense[12], 0x24);
    r = inquiry();  // the command never completed
    EXPECT_NE(r.hostStatus, 0);
    EXPECT_NE(r.hostStatus, kHostTimeOut);
    r = inquiry();  // took longer than the 10 s limit
    EXPECT_EQ(r.hostStatus, kHostTimeOut);
    r = inquiry();
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.hostStatus, 0);
    r = inquiry();  // the drive is gone
    EXPECT_EQ(r.error, ENODEV);
    EXPECT_EQ(drives.Open("sr0", &problem), nullptr);
    EXPECT_EQ(problem, fs_.root() + "/dev/sr0: no such device or address");
}

// The drive object on the backend, with its clock advanced by the sleeps it makes, so that no
// real time passes.
class InterposerDriveTest : public InterposerTest {
  protected:
    LinuxSystem::Hooks VirtualClock() {
        LinuxSystem::Hooks hooks;
        hooks.monotonicNanos = [this] { return now_ += 1'000'000; };
        hooks.sleep = [this](DWORD ms) { now_ += static_cast<std::int64_t>(ms) * 1'000'000; };
        return hooks;
    }
    std::int64_t now_ = 0;
};

TEST_F(InterposerDriveTest, ScanFindsBothDrivesByNameAndAddressWithoutLetters) {
    LinuxSystem system(VirtualClock());
    LinuxDrives drives(fs_.root());
    ScopedRoles roles({&system, &system, nullptr, &drives});
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 2);
    const DriveRecord* first = device.RecordAt(0);
    const DriveRecord* second = device.RecordAt(1);
    EXPECT_STREQ(first->device_name, "sr0");
    EXPECT_EQ(first->root_path[0], '\0');
    EXPECT_EQ(first->adapter, 1);
    EXPECT_EQ(first->target_id, 0);
    EXPECT_EQ(std::string(first->revision, 4), "QM01");
    EXPECT_EQ(std::string(first->product, 16), "DVDRW KMR-730T  ");
    EXPECT_STREQ(second->device_name, "sr1");
    EXPECT_EQ(second->adapter, 2);
    EXPECT_EQ(second->target_id, 1);
    EXPECT_EQ(std::string(second->vendor, 7), "OTHERCO");
    EXPECT_FALSE(device.HasOpenHandle());
}

// 64 blocks of 16 KiB, each written and read back: 128 requests once the scan has met the
// block node's refusal of the vendor command.
TEST_F(InterposerDriveTest, OneMegabyteTakesOneRequestPerCommand) {
    LinuxSystem system(VirtualClock());
    LinuxDrives drives(fs_.root(), {.hasRawIo = [] { return false; }, .report = {}});
    ScopedRoles roles({&system, &system, nullptr, &drives});
    AtapiDevice device(true);
    ASSERT_TRUE(device.SelectDrive(0));
    device.ClearUnitAttention();
    EXPECT_TRUE(drives.UsesGenericNode("sr0"));
    const std::vector<std::uint8_t> image = sim::MakeFirmwareImage("QM0F", 1u << 20, 7);
    const std::uint64_t before = drives.Requests();
    ASSERT_TRUE(FirmwareDownload(device).TransferImage(image.data(),
                                                       static_cast<std::int32_t>(image.size())));
    EXPECT_EQ(drives.Requests() - before, 128u);
}

TEST_F(InterposerDriveTest, OneMegabyteDownloadThenSgInqShowsTheNewRevision) {
    const std::vector<std::uint8_t> image = sim::MakeFirmwareImage("QM0F", 1u << 20, 7);
    {
        LinuxSystem system(VirtualClock());
        LinuxDrives drives(fs_.root());
        ScopedRoles roles({&system, &system, nullptr, &drives});
        AtapiDevice device(true);
        ASSERT_GE(device.RecordCount(), 1);
        ASSERT_TRUE(device.SelectDrive(0));
        device.ClearUnitAttention();
        ASSERT_TRUE(FirmwareDownload(device).DownloadFirmware(
            image.data(), static_cast<std::int32_t>(image.size()), false))
            << "sense " << int(device.LastCommandRecord().senseKey) << "/"
            << int(device.LastCommandRecord().asc);
        device.WaitReady(60);
        ASSERT_TRUE(device.RefreshIdentity());
        EXPECT_STREQ(device.CurrentRevision(), "QM0F");
        device.ReleaseDrive();
    }
    if (QUIVER_SG_INQ[0] == '\0') {
        GTEST_SKIP() << "sg3-utils is not installed";
    }
    const std::string shown = Run(QUIVER_SG_INQ, "/dev/sr0");
    EXPECT_NE(shown.find("Product revision level: QM0F"), std::string::npos) << shown;
}

}  // namespace
}  // namespace quiver
