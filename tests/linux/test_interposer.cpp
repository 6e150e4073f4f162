// The Linux backend and sg3_utils against emulated drives, through the SG_IO interposer that the
// test runs preloaded with. Each test loads a machine file of its own: the interposer loads a new
// machine whenever QUIVER_SGIO_MACHINE names another file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/atapi_device.h"
#include "fake_sysfs.h"
#include "flash/firmware_download.h"
#include "formats/firmware_image.h"
#include "platform/linux/linux_platform.h"

namespace quiver {
namespace {

using linuxtest::FakeDrive;
using linuxtest::FakeSysfs;

class InterposerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        if (preload == nullptr || std::strstr(preload, "quiver-sgio") == nullptr) {
            GTEST_SKIP() << "runs with the interposer preloaded (ctest sets LD_PRELOAD)";
        }
        const std::string dir = fs_.root() + "/";
        FakeSysfs::Write(dir + "machine.json", machineJson);
        setenv("QUIVER_SGIO_MACHINE", (dir + "machine.json").c_str(), 1);
        setenv("QUIVER_SGIO_STATE", (dir + "state").c_str(), 1);
        unsetenv("QUIVER_SGIO_RAWIO");
        unsetenv("QUIVER_SGIO_SETTLED");
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

    HANDLE Open(LinuxPlatform& os, const char* path) {
        return os.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    }

    // One pass-through request on `handle`.
    struct Request {
        SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block{};
        std::vector<std::uint8_t> data;
        BOOL ok = FALSE;
        DWORD error = 0;
    };
    static Request Send(LinuxPlatform& os, HANDLE handle, std::vector<std::uint8_t> cdb, UCHAR dir,
                        std::vector<std::uint8_t> data) {
        Request r;
        r.data = std::move(data);
        auto& s = r.block.sptd;
        s.Length = sizeof s;
        s.CdbLength = static_cast<UCHAR>(cdb.size());
        std::memcpy(s.Cdb, cdb.data(), cdb.size());
        s.DataIn = dir;
        s.DataTransferLength = static_cast<ULONG>(r.data.size());
        s.DataBuffer = r.data.empty() ? nullptr : r.data.data();
        s.TimeOutValue = 10;
        s.SenseInfoLength = 24;
        s.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
        DWORD returned = 0;
        os.SetLastError(ERROR_SUCCESS);
        r.ok = os.DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &r.block, sizeof r.block,
                                  &r.block, sizeof r.block, &returned, nullptr);
        r.error = os.GetLastError();
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

TEST_F(InterposerTest, InquiryThroughTheBackendOnTheBlockNode) {
    LinuxPlatform os(fs_.root());
    HANDLE drive = Open(os, "\\\\.\\1:");
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    Request r = Send(os, drive, kInquiry, SCSI_IOCTL_DATA_IN, std::vector<std::uint8_t>(0x60));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.block.sptd.ScsiStatus, 0);
    EXPECT_EQ(r.block.sptd.DataTransferLength, 0x60u);
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 32), "OTHERCO DVD-ROM 16X     ");
    EXPECT_FALSE(os.UsedGenericNode(drive));

    // The address from the device node when sysfs has no usable name.
    FakeSysfs other;
    other.Add({.sr = 1, .hctl = "unnamed", .devNode = false});
    LinuxPlatform bare(other.root());
    HANDLE second = Open(bare, "\\\\.\\1:");
    SCSI_ADDRESS address{};
    DWORD returned = 0;
    ASSERT_TRUE(bare.DeviceIoControl(second, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                     sizeof address, &returned, nullptr));
    EXPECT_EQ(address.PortNumber, 2);
    EXPECT_EQ(address.TargetId, 1);
    bare.CloseHandle(second);
    os.CloseHandle(drive);
}

TEST_F(InterposerTest, WriteBufferFallsBackToTheGenericNode) {
    LinuxPlatform os(fs_.root());
    HANDLE drive = Open(os, "\\\\.\\0:");
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    // The power-on attention goes to a command that moves no data.
    Send(os, drive, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, {});
    std::vector<std::uint8_t> block(16384);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7);
    }
    Request w = Send(os, drive, kWriteBuffer16k, SCSI_IOCTL_DATA_OUT, block);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.block.sptd.ScsiStatus, 0);
    EXPECT_TRUE(os.UsedGenericNode(drive));
    // The data reached the drive: read it back (READ BUFFER passes the filter).
    std::vector<std::uint8_t> readBack = {0x3C, 0x01, 0x01, 0, 0, 0, 0, 0x40, 0, 0, 0, 0};
    Request r = Send(os, drive, readBack, SCSI_IOCTL_DATA_IN, std::vector<std::uint8_t>(16384));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.block.sptd.ScsiStatus, 0);
    EXPECT_EQ(r.data, block);
    os.CloseHandle(drive);
}

// The bytes a command moved are those SG_IO did not leave over.
TEST_F(InterposerTest, TransferLengthIsWhatTheResidualLeaves) {
    machineJson = R"({"drives": [{"name": "E", "faults": [
        {"kind": "short-transfer", "opcode": "0x12", "bytes": 36}]}]})";
    FakeSysfs::Write(fs_.root() + "/machine2.json", machineJson);
    setenv("QUIVER_SGIO_MACHINE", (fs_.root() + "/machine2.json").c_str(), 1);
    LinuxPlatform os(fs_.root());
    HANDLE drive = Open(os, "\\\\.\\0:");
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    Request r = Send(os, drive, kInquiry, SCSI_IOCTL_DATA_IN, std::vector<std::uint8_t>(0x60));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.block.sptd.DataTransferLength, 36u);
    os.CloseHandle(drive);
}

TEST_F(InterposerTest, WithoutAGenericNodeWriteBufferIsAccessDenied) {
    FakeSysfs noSg;
    noSg.Add({.sr = 0, .hctl = "1:0:0:0", .devNode = false});
    LinuxPlatform os(noSg.root());
    HANDLE drive = Open(os, "\\\\.\\0:");
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    Request w =
        Send(os, drive, kWriteBuffer16k, SCSI_IOCTL_DATA_OUT, std::vector<std::uint8_t>(16384));
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.error, ERROR_ACCESS_DENIED);
    // The vendor command too.
    Request id = Send(os, drive, {0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0}, SCSI_IOCTL_DATA_IN,
                      std::vector<std::uint8_t>(128));
    EXPECT_FALSE(id.ok);
    EXPECT_EQ(id.error, ERROR_ACCESS_DENIED);
    // With CAP_SYS_RAWIO the block node takes them.
    setenv("QUIVER_SGIO_RAWIO", "1", 1);
    w = Send(os, drive, kWriteBuffer16k, SCSI_IOCTL_DATA_OUT, std::vector<std::uint8_t>(16384));
    EXPECT_TRUE(w.ok) << w.error;
    EXPECT_FALSE(os.UsedGenericNode(drive));
    os.CloseHandle(drive);
}

TEST_F(InterposerTest, StatusSenseAndTransportFailuresAreMapped) {
    machineJson = R"({"drives": [{"name": "E", "faults": [
        {"kind": "sense", "opcode": "0x12", "sense": "5/24/00"},
        {"kind": "transport-failure", "opcode": "0x12", "first": 2},
        {"kind": "delay", "opcode": "0x12", "first": 3, "seconds": 30},
        {"kind": "vanish", "opcode": "0x12", "first": 5}]}]})";
    FakeSysfs::Write(fs_.root() + "/machine2.json", machineJson);
    setenv("QUIVER_SGIO_MACHINE", (fs_.root() + "/machine2.json").c_str(), 1);
    LinuxPlatform os(fs_.root());
    HANDLE drive = Open(os, "\\\\.\\0:");
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    const auto inquiry = [&] {
        return Send(os, drive, kInquiry, SCSI_IOCTL_DATA_IN, std::vector<std::uint8_t>(0x60));
    };
    Request r = inquiry();  // CHECK CONDITION with sense
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.block.sptd.ScsiStatus, 2);
    EXPECT_EQ(r.block.sptd.SenseInfoLength, 18);
    EXPECT_EQ(r.block.ucSenseBuf[2] & 0x0F, 5);
    EXPECT_EQ(r.block.ucSenseBuf[12], 0x24);
    r = inquiry();  // the command never completed
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_IO_DEVICE);
    r = inquiry();  // took longer than the 10 s limit
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_SEM_TIMEOUT);
    r = inquiry();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.block.sptd.ScsiStatus, 0);
    r = inquiry();  // the drive is gone
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_DEVICE_NOT_CONNECTED);
    os.CloseHandle(drive);
    EXPECT_EQ(Open(os, "\\\\.\\0:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

// The drive object on the backend, with its clock advanced by the sleeps it makes, so that no
// real time passes.
class InterposerDriveTest : public InterposerTest {
  protected:
    LinuxPlatform::Hooks VirtualClock() {
        LinuxPlatform::Hooks hooks;
        hooks.monotonicNanos = [this] { return now_ += 1'000'000; };
        hooks.sleep = [this](DWORD ms) { now_ += static_cast<std::int64_t>(ms) * 1'000'000; };
        hooks.mayRestart = [] { return false; };
        hooks.restart = [](LinuxPlatform::RestartKind) { return false; };
        return hooks;
    }
    std::int64_t now_ = 0;
};

TEST_F(InterposerDriveTest, ScanFindsBothDrivesWithRootsAndAddresses) {
    LinuxPlatform os(fs_.root(), VirtualClock());
    ScopedPlatform scope(os);
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 2);
    const DriveRecord* first = device.RecordAt(0);
    const DriveRecord* second = device.RecordAt(1);
    EXPECT_STREQ(first->root_path, "0:\\");
    EXPECT_EQ(first->adapter, 1);
    EXPECT_EQ(first->target_id, 0);
    EXPECT_EQ(std::string(first->revision, 4), "QM01");
    EXPECT_EQ(std::string(first->product, 16), "DVDRW KMR-730T  ");
    EXPECT_STREQ(second->root_path, "1:\\");
    EXPECT_EQ(second->adapter, 2);
    EXPECT_EQ(second->target_id, 1);
    EXPECT_EQ(std::string(second->vendor, 7), "OTHERCO");
    EXPECT_FALSE(device.HasOpenHandle());
    EXPECT_EQ(os.OpenHandleCount(), 0);
    EXPECT_EQ(os.HeapBlockCount(), 2);  // the object's buffers: the scan gave its block back
}

TEST_F(InterposerDriveTest, OneMegabyteDownloadThenSgInqShowsTheNewRevision) {
    const std::vector<std::uint8_t> image = sim::MakeFirmwareImage("QM0F", 1u << 20, 7);
    {
        LinuxPlatform os(fs_.root(), VirtualClock());
        ScopedPlatform scope(os);
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
