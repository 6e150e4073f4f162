// The Linux backend on a fake sysfs tree: roots, drive types, opening, addresses, the storage
// descriptor, the pass-through's refusals, and the calls that need no drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/atapi_device.h"
#include "fake_sysfs.h"
#include "host/os_info.h"
#include "platform/linux/linux_platform.h"

namespace quiver {
namespace {

using linuxtest::FakeDrive;
using linuxtest::FakeSysfs;

std::vector<std::string> DriveStrings(Platform& os) {
    const DWORD size = os.GetLogicalDriveStringsA(0, nullptr);
    std::vector<char> buffer(size + 1, '\x7F');
    std::vector<std::string> roots;
    if (size == 0 || os.GetLogicalDriveStringsA(size, buffer.data()) != size - 1) {
        return roots;
    }
    for (const char* p = buffer.data(); *p != '\0'; p += std::strlen(p) + 1) {
        roots.emplace_back(p);
    }
    return roots;
}

TEST(LinuxPlatformRoots, TwoCharactersPerSrNumberAndBack) {
    EXPECT_EQ(LinuxPlatform::RootForSrNumber(0), "0:");
    EXPECT_EQ(LinuxPlatform::RootForSrNumber(9), "9:");
    EXPECT_EQ(LinuxPlatform::RootForSrNumber(10), "A:");
    EXPECT_EQ(LinuxPlatform::RootForSrNumber(35), "Z:");
    EXPECT_EQ(LinuxPlatform::RootForSrNumber(36), "");
    EXPECT_EQ(LinuxPlatform::RootForSrNumber(-1), "");
    for (int n = 0; n <= 35; ++n) {
        const std::string root = LinuxPlatform::RootForSrNumber(n);
        EXPECT_EQ(LinuxPlatform::SrNumberForRoot(root.c_str()), n);
        EXPECT_EQ(LinuxPlatform::SrNumberForRoot((root + "\\").c_str()), n);
    }
    EXPECT_EQ(LinuxPlatform::SrNumberForRoot("b:\\"), 11);
    for (const char* bad : {"", "0", "0:x", "0:\\x", "00:", "-:", ":"}) {
        EXPECT_EQ(LinuxPlatform::SrNumberForRoot(bad), -1) << bad;
    }
    EXPECT_EQ(LinuxPlatform::SrNumberForRoot(nullptr), -1);
}

TEST(LinuxPlatformDrives, ListsOpticalDrivesOnlyInNumberOrder) {
    FakeSysfs fs;
    fs.Add({.sr = 10, .hctl = "3:0:0:0"});
    fs.Add({.sr = 2, .hctl = "2:0:0:0"});
    fs.Add({.sr = 0, .hctl = "0:0:0:0"});
    fs.Add({.sr = 1, .hctl = "0:0:1:0", .type = "0"});  // not an optical device
    fs.Add({.sr = 36, .hctl = "4:0:0:0"});              // no root left for it
    fs.AddBlock("sda");
    fs.AddBlock("sr01");
    LinuxPlatform os(fs.root());

    EXPECT_EQ(DriveStrings(os), (std::vector<std::string>{"0:\\", "2:\\", "A:\\"}));
    EXPECT_EQ(os.GetDriveTypeA("0:\\"), DRIVE_CDROM);
    EXPECT_EQ(os.GetDriveTypeA("a:\\"), DRIVE_CDROM);
    EXPECT_EQ(os.GetDriveTypeA("1:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(os.GetDriveTypeA("3:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(os.GetDriveTypeA("C:\\"), DRIVE_NO_ROOT_DIR);

    // The Win32 buffer rules: too small gives the size needed, zero included.
    char small[4] = {};
    EXPECT_EQ(os.GetLogicalDriveStringsA(sizeof small, small), 13u);
    char exact[13];
    EXPECT_EQ(os.GetLogicalDriveStringsA(sizeof exact, exact), 12u);
    EXPECT_EQ(std::memcmp(exact, "0:\\\0002:\\\000A:\\\0\0", 13), 0);
}

TEST(LinuxPlatformDrives, NoSysfsMeansNoDrives) {
    LinuxPlatform os("/nonexistent/quiver-root");
    EXPECT_EQ(os.GetLogicalDriveStringsA(0, nullptr), 0u);
    EXPECT_TRUE(DriveStrings(os).empty());
    EXPECT_EQ(os.CreateFileA("\\\\.\\0:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(os.GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(LinuxPlatformDevice, OpensOnlyTheDevicePathOfAnOpticalDrive) {
    FakeSysfs fs;
    fs.Add({.sr = 0});
    fs.Add({.sr = 1, .type = "0"});
    fs.Add({.sr = 2, .hctl = "2:0:0:0", .devNode = false});
    LinuxPlatform os(fs.root());
    const auto open = [&](const char* path, DWORD disposition = OPEN_EXISTING) {
        return os.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 3, nullptr, disposition, 0,
                              nullptr);
    };
    HANDLE h = open("\\\\.\\0:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(os.OpenHandleCount(), 1);

    for (const char* path : {"\\\\.\\1:", "\\\\.\\0:\\", "0:\\", "\\\\.\\5:", "/dev/sr0"}) {
        EXPECT_EQ(open(path), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(os.GetLastError(), ERROR_FILE_NOT_FOUND) << path;
    }
    EXPECT_EQ(open("\\\\.\\2:"), INVALID_HANDLE_VALUE);  // listed, but no device node
    EXPECT_EQ(os.GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open("\\\\.\\0:", 2), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os.GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(os.CloseHandle(h));
    EXPECT_FALSE(os.CloseHandle(h));
    EXPECT_EQ(os.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os.OpenHandleCount(), 0);
}

class LinuxPlatformIoctl : public ::testing::Test {
  protected:
    void SetUp() override {
        fs_.Add({.sr = 0,
                 .hctl = "4:1:2:3",
                 .vendor = "Korvane",
                 .model = "DVDRW KMR-730T",
                 .rev = "QM01",
                 .sg = 3,
                 .bus = "usb"});
        fs_.Add({.sr = 1,
                 .hctl = "not-an-address",
                 .vendor = "A very long vendor name",
                 .rev = "1.00X"});
        handle_ = Open("\\\\.\\0:");
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { os_.CloseHandle(handle_); }

    HANDLE Open(const char* path) {
        return os_.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    }

    FakeSysfs fs_;
    LinuxPlatform os_{fs_.root()};
    HANDLE handle_ = nullptr;
};

TEST_F(LinuxPlatformIoctl, AddressComesFromTheSysfsName) {
    SCSI_ADDRESS address{};
    DWORD returned = 0;
    ASSERT_TRUE(os_.DeviceIoControl(handle_, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                    sizeof address, &returned, nullptr));
    EXPECT_EQ(returned, sizeof address);
    EXPECT_EQ(address.Length, sizeof address);
    EXPECT_EQ(address.PortNumber, 4);
    EXPECT_EQ(address.PathId, 1);
    EXPECT_EQ(address.TargetId, 2);
    EXPECT_EQ(address.Lun, 3);

    EXPECT_FALSE(os_.DeviceIoControl(handle_, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, 7,
                                     &returned, nullptr));
    EXPECT_EQ(os_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    // A name that is no address, on a node that answers no SCSI request: the request fails,
    // and discovery makes an address up.
    HANDLE other = Open("\\\\.\\1:");
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(os_.DeviceIoControl(other, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                     sizeof address, &returned, nullptr));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_FUNCTION);
    os_.CloseHandle(other);
}

TEST_F(LinuxPlatformIoctl, StorageDescriptorCarriesTheSysfsIdentity) {
    STORAGE_PROPERTY_QUERY query{};
    std::uint8_t reply[128] = {};
    DWORD returned = 0;
    ASSERT_TRUE(os_.DeviceIoControl(handle_, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                    reply, sizeof reply, &returned, nullptr));
    STORAGE_DEVICE_DESCRIPTOR head{};
    std::memcpy(&head, reply, sizeof head);
    EXPECT_EQ(returned, head.Size);
    EXPECT_EQ(head.DeviceType, 5);
    EXPECT_EQ(head.BusType, BusTypeUsb);
    EXPECT_STREQ(reinterpret_cast<char*>(reply + head.VendorIdOffset), "Korvane ");
    EXPECT_STREQ(reinterpret_cast<char*>(reply + head.ProductIdOffset), "DVDRW KMR-730T  ");
    EXPECT_STREQ(reinterpret_cast<char*>(reply + head.ProductRevisionOffset), "QM01");

    // The query discovery makes: only the head fits, and that is what it gets.
    STORAGE_DEVICE_DESCRIPTOR area{};
    ASSERT_TRUE(os_.DeviceIoControl(handle_, IOCTL_STORAGE_QUERY_PROPERTY, &area, sizeof area,
                                    &area, sizeof area, &returned, nullptr));
    EXPECT_EQ(returned, sizeof area);

    // Overlong fields are cut to their widths.
    HANDLE other = Open("\\\\.\\1:");
    ASSERT_TRUE(os_.DeviceIoControl(other, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                    reply, sizeof reply, &returned, nullptr));
    std::memcpy(&head, reply, sizeof head);
    EXPECT_STREQ(reinterpret_cast<char*>(reply + head.VendorIdOffset), "A very l");
    EXPECT_STREQ(reinterpret_cast<char*>(reply + head.ProductRevisionOffset), "1.00");
    EXPECT_EQ(head.BusType, BusTypeAtapi);
    os_.CloseHandle(other);

    query.PropertyId = StorageAdapterProperty;
    EXPECT_FALSE(os_.DeviceIoControl(handle_, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                     reply, sizeof reply, &returned, nullptr));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_FUNCTION);
}

TEST_F(LinuxPlatformIoctl, PassThroughRefusesBadRequestsAndNonScsiNodes) {
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block{};
    std::uint8_t data[96] = {};
    auto& r = block.sptd;
    const auto fill = [&] {
        std::memset(&block, 0, sizeof block);
        r.Length = sizeof r;
        r.CdbLength = 12;
        r.Cdb[0] = 0x12;
        r.Cdb[4] = sizeof data;
        r.DataIn = SCSI_IOCTL_DATA_IN;
        r.DataTransferLength = sizeof data;
        r.DataBuffer = data;
        r.TimeOutValue = 5;
        r.SenseInfoLength = 24;
        r.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
    };
    const auto send = [&] {
        DWORD returned = 0;
        return os_.DeviceIoControl(handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block,
                                   &block, sizeof block, &returned, nullptr);
    };
    const std::vector<void (*)(SCSI_PASS_THROUGH_DIRECT&)> breakers = {
        [](SCSI_PASS_THROUGH_DIRECT& x) { x.TimeOutValue = 0; },
        [](SCSI_PASS_THROUGH_DIRECT& x) { x.TimeOutValue = 108'001; },
        [](SCSI_PASS_THROUGH_DIRECT& x) { x.CdbLength = 17; },
        [](SCSI_PASS_THROUGH_DIRECT& x) { x.DataIn = 3; },
        [](SCSI_PASS_THROUGH_DIRECT& x) { x.DataBuffer = nullptr; },
        [](SCSI_PASS_THROUGH_DIRECT& x) { x.SenseInfoOffset = 1000; },
        [](SCSI_PASS_THROUGH_DIRECT& x) { x.Length = 12; },
    };
    for (std::size_t i = 0; i < breakers.size(); ++i) {
        fill();
        breakers[i](r);
        EXPECT_FALSE(send()) << i;
        EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_PARAMETER) << i;
    }
    // A well-formed request on a node that is no SCSI device.
    fill();
    EXPECT_FALSE(send());
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_FUNCTION);

    DWORD returned = 0;
    EXPECT_FALSE(
        os_.DeviceIoControl(handle_, 0x12345678, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(os_.DeviceIoControl(reinterpret_cast<HANDLE>(0x1234), IOCTL_SCSI_GET_ADDRESS,
                                     nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_HANDLE);
}

// --- Restart, time, libraries and the rest ---------------------------------------------------

struct RestartRecorder {
    bool allowed = true;
    bool accepts = true;
    std::vector<LinuxPlatform::RestartKind> requests;

    LinuxPlatform::Hooks Hooks() {
        LinuxPlatform::Hooks hooks;
        hooks.mayRestart = [this] { return allowed; };
        hooks.restart = [this](LinuxPlatform::RestartKind kind) {
            requests.push_back(kind);
            return accepts;
        };
        return hooks;
    }
};

TEST(LinuxPlatformRestart, NeedsTheRebootPermissionAndGoesToTheRestartAction) {
    RestartRecorder recorder;
    recorder.allowed = false;
    LinuxPlatform denied("/nonexistent", recorder.Hooks());
    {
        ScopedPlatform scope(denied);
        OSInfo info;
        EXPECT_TRUE(info.IsNTFamily());
        EXPECT_FALSE(info.RestartSystem());
    }
    // Without the privilege enabled, the call itself refuses as well.
    EXPECT_FALSE(denied.ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(denied.GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_TRUE(recorder.requests.empty());

    recorder.allowed = true;
    LinuxPlatform allowed("/nonexistent", recorder.Hooks());
    {
        ScopedPlatform scope(allowed);
        EXPECT_TRUE(OSInfo().RestartSystem());
    }
    ASSERT_EQ(recorder.requests.size(), 1u);
    EXPECT_EQ(recorder.requests[0], LinuxPlatform::RestartKind::Reboot);
    EXPECT_TRUE(allowed.ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, 0));
    EXPECT_EQ(recorder.requests.back(), LinuxPlatform::RestartKind::PowerOff);
    EXPECT_FALSE(allowed.ExitWindowsEx(EWX_LOGOFF, 0));
    EXPECT_EQ(recorder.requests.size(), 2u);

    recorder.accepts = false;  // nothing took the request
    EXPECT_FALSE(allowed.ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(allowed.GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(allowed.OpenHandleCount(), 0);  // the tokens were closed
}

// The counter's frequency and its counts agree: a sleep of 2 ms is 2,000,000 counts or more.
TEST(LinuxPlatformSystem, CounterCountsAtItsFrequency) {
    LinuxPlatform os;
    LARGE_INTEGER frequency{}, a{}, b{};
    ASSERT_TRUE(os.QueryPerformanceFrequency(&frequency));
    ASSERT_TRUE(os.QueryPerformanceCounter(&a));
    os.Sleep(2);
    ASSERT_TRUE(os.QueryPerformanceCounter(&b));
    EXPECT_GE(b.QuadPart - a.QuadPart, frequency.QuadPart / 500);
    EXPECT_LT(b.QuadPart - a.QuadPart, frequency.QuadPart * 2);
}

TEST(LinuxPlatformSystem, NtFamilyWithoutAnAspiManager) {
    std::vector<std::string> boxes;
    LinuxPlatform::Hooks hooks;
    hooks.messageBox = [&](const char* text, const char*, UINT) {
        boxes.emplace_back(text);
        return IDOK;
    };
    LinuxPlatform os("/nonexistent", hooks);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(os.GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    info.dwOSVersionInfoSize = 20;
    EXPECT_FALSE(os.GetVersionExA(&info));

    EXPECT_EQ(os.LoadLibraryA(kAspiLibraryName), nullptr);
    EXPECT_EQ(os.GetLastError(), ERROR_MOD_NOT_FOUND);

    // The drive object takes the pass-through route and says nothing about a missing manager.
    ScopedPlatform scope(os);
    AtapiDevice device(true);
    EXPECT_FALSE(device.UsesAspi());
    EXPECT_FALSE(device.AspiUsable());
    EXPECT_EQ(device.RecordCount(), 0);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(os.HeapBlockCount(), 2);  // the object's buffers: the scan gave its block back
}

TEST(LinuxPlatformSystem, HeapEventsAndMessageBoxes) {
    LinuxPlatform os("/nonexistent");
    HANDLE heap = os.GetProcessHeap();
    auto* zeroed = static_cast<std::uint8_t*>(os.HeapAlloc(heap, 0x8, 64));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(std::count(zeroed, zeroed + 64, 0), 64);
    int foreign = 0;
    EXPECT_FALSE(os.HeapFree(heap, 0, &foreign));
    EXPECT_TRUE(os.HeapFree(heap, 0, zeroed));
    EXPECT_FALSE(os.HeapFree(heap, 0, zeroed));  // twice is refused, not a double free

    HANDLE automatic = os.CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(os.WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(os.WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    HANDLE manual = os.CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(os.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(os.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(os.CloseHandle(automatic));
    EXPECT_TRUE(os.CloseHandle(manual));
    EXPECT_EQ(os.WaitForSingleObject(manual, 0), WAIT_FAILED);

    // Nobody can answer a question on standard error: the safe answer is No.
    testing::internal::CaptureStderr();
    EXPECT_EQ(os.MessageBoxA(nullptr, "Restart now?", "Quiver", MB_YESNO), IDNO);
    EXPECT_EQ(os.MessageBoxA(nullptr, "Done.", "Quiver", MB_OK), IDOK);
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("Quiver: Restart now?"), std::string::npos);
    EXPECT_NE(shown.find("Quiver: Done."), std::string::npos);
}

}  // namespace
}  // namespace quiver
