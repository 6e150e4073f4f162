#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sim/sim_platform.h"
#include "sim/aspi_srb.h"

namespace quiver {
namespace {

// The emulated manager reads the request blocks with layouts of its own; they must agree with
// the ones the system hands over.
#define SAME_FIELD(ours, theirs, field) \
    static_assert(offsetof(ours, field) == offsetof(theirs, field), #field)

static_assert(sizeof(sim::srb::HAInquiry) == sizeof(SRB_HAInquiry));
SAME_FIELD(sim::srb::HAInquiry, SRB_HAInquiry, SRB_Status);
SAME_FIELD(sim::srb::HAInquiry, SRB_HAInquiry, SRB_HaId);
SAME_FIELD(sim::srb::HAInquiry, SRB_HAInquiry, HA_Count);
SAME_FIELD(sim::srb::HAInquiry, SRB_HAInquiry, HA_SCSI_ID);
SAME_FIELD(sim::srb::HAInquiry, SRB_HAInquiry, HA_ManagerId);
SAME_FIELD(sim::srb::HAInquiry, SRB_HAInquiry, HA_Identifier);
SAME_FIELD(sim::srb::HAInquiry, SRB_HAInquiry, HA_Unique);
static_assert(sizeof(sim::srb::GDEVBlock) == sizeof(SRB_GDEVBlock));
SAME_FIELD(sim::srb::GDEVBlock, SRB_GDEVBlock, SRB_Target);
SAME_FIELD(sim::srb::GDEVBlock, SRB_GDEVBlock, SRB_Lun);
SAME_FIELD(sim::srb::GDEVBlock, SRB_GDEVBlock, SRB_DeviceType);
static_assert(sizeof(sim::srb::RescanPort) == sizeof(SRB_RescanPort));
static_assert(sizeof(sim::srb::ExecSCSICmd) == sizeof(SRB_ExecSCSICmd));
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_Flags);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_Target);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_Lun);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_BufLen);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_BufPointer);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_SenseLen);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_CDBLen);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_HaStat);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_TargStat);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SRB_PostProc);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, CDBByte);
SAME_FIELD(sim::srb::ExecSCSICmd, SRB_ExecSCSICmd, SenseArea);
#undef SAME_FIELD

// A fault on the first matching command.
sim::Fault MakeFault(sim::Fault::Kind kind, int opcode, sim::Sense sense = {},
                     double seconds = 0.0) {
    sim::Fault fault;
    fault.kind = kind;
    fault.opcode = opcode;
    fault.sense = sense;
    fault.seconds = seconds;
    return fault;
}

constexpr DWORD kHeapZeroMemory = 8;

// A machine with C: (fixed), D: (CD-ROM, drive 0, address 1/0/2/0), E: (CD-ROM, drive 1) and
// the two drives on the ASPI manager.
class SimPlatformTest : public ::testing::Test {
  protected:
    SimPlatformTest() {
        machine_.AddDrive(sim::DriveConfig{});
        machine_.AddDrive(sim::DriveConfig{});
        machine_.AddLetter('E', sim::LetterType::CdRom, 1);
        machine_.AddLetter('C', sim::LetterType::Fixed);
        sim::Letter& d = machine_.AddLetter('D', sim::LetterType::CdRom, 0);
        d.port = 1;
        d.target = 2;
        machine_.AddAspiDevice(0, 0, 0, 0);
        machine_.AddAspiDevice(0, 1, 0, 1);
    }

    HANDLE Open(const char* path) {
        return os_.CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    }

    // The request area as the transport fills it: 12-byte command, 24 sense bytes at the end.
    static SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER Request(std::uint8_t opcode, UCHAR dataIn,
                                                        void* buffer, ULONG length) {
        SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER area{};
        area.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        area.sptd.CdbLength = 12;
        area.sptd.SenseInfoLength = 24;
        area.sptd.DataIn = dataIn;
        area.sptd.DataTransferLength = length;
        area.sptd.TimeOutValue = 108'000;
        area.sptd.DataBuffer = buffer;
        area.sptd.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
        area.sptd.Cdb[0] = opcode;
        if (opcode == 0x12) {
            area.sptd.Cdb[4] = static_cast<UCHAR>(length);
        }
        return area;
    }

    BOOL Send(HANDLE device, SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& area, DWORD* returned) {
        return os_.DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &area, sizeof area,
                                   &area, sizeof area, returned, nullptr);
    }

    sim::Machine machine_;
    SimPlatform os_{machine_};
};

TEST_F(SimPlatformTest, DriveStringsListRootsInLetterOrder) {
    const DWORD needed = os_.GetLogicalDriveStringsA(0, nullptr);
    EXPECT_EQ(needed, 13u);
    char small[12];
    EXPECT_EQ(os_.GetLogicalDriveStringsA(sizeof small, small), 13u);
    char exact[13];
    EXPECT_EQ(os_.GetLogicalDriveStringsA(sizeof exact, exact), 12u);
    EXPECT_EQ(std::string(exact, 13), std::string("C:\\\0D:\\\0E:\\\0\0", 13));

    EXPECT_EQ(os_.GetDriveTypeA("C:\\"), DRIVE_FIXED);
    EXPECT_EQ(os_.GetDriveTypeA("d:\\"), DRIVE_CDROM);
    EXPECT_EQ(os_.GetDriveTypeA("E:"), DRIVE_CDROM);
    EXPECT_EQ(os_.GetDriveTypeA("Q:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(os_.GetDriveTypeA("D:\\dir"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(os_.GetDriveTypeA(nullptr), DRIVE_NO_ROOT_DIR);

    sim::Machine empty;
    SimPlatform none(empty);
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(none.GetLogicalDriveStringsA(0, nullptr), 0u);
    EXPECT_EQ(none.GetLogicalDriveStringsA(sizeof buffer, buffer), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(SimPlatformTest, DevicePathsOpenOnlyForReachableOpticalDrives) {
    machine_.AddLetter('F', sim::LetterType::CdRom, 0).openFails = true;
    HANDLE d = Open("\\\\.\\D:");
    ASSERT_NE(d, INVALID_HANDLE_VALUE);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(os_.OpenHandleCount(), 1);
    for (const char* path :
         {"\\\\.\\C:", "\\\\.\\F:", "\\\\.\\Q:", "\\\\.\\D:\\", "D:\\", "\\\\.\\"}) {
        os_.SetLastError(0);
        EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(os_.GetLastError(), ERROR_FILE_NOT_FOUND) << path;
    }
    machine_.drive(1).Vanish();
    EXPECT_EQ(Open("\\\\.\\E:"), INVALID_HANDLE_VALUE);

    EXPECT_TRUE(os_.CloseHandle(d));
    EXPECT_FALSE(os_.CloseHandle(d));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(os_.CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(os_.OpenHandleCount(), 0);
}

TEST_F(SimPlatformTest, AddressRequestFollowsTheLettersReply) {
    HANDLE d = Open("\\\\.\\D:");
    auto query = [&](SCSI_ADDRESS* address, DWORD* returned) {
        std::memset(address, 0xAA, sizeof *address);
        return os_.DeviceIoControl(d, IOCTL_SCSI_GET_ADDRESS, address, sizeof *address, address,
                                   sizeof *address, returned, nullptr);
    };
    SCSI_ADDRESS address;
    DWORD returned = 0;
    ASSERT_TRUE(query(&address, &returned));
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(address.Length, 8u);
    EXPECT_EQ(address.PortNumber, 1);
    EXPECT_EQ(address.PathId, 0);
    EXPECT_EQ(address.TargetId, 2);
    EXPECT_EQ(address.Lun, 0);

    machine_.letters[2].addressReply = sim::AddressReply::ZeroLength;
    ASSERT_TRUE(query(&address, &returned));
    EXPECT_EQ(address.Length, 0u);

    machine_.letters[2].addressReply = sim::AddressReply::Fails;
    EXPECT_FALSE(query(&address, &returned));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(returned, 0u);

    EXPECT_FALSE(os_.DeviceIoControl(d, 0x12345678, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(os_.DeviceIoControl(reinterpret_cast<HANDLE>(0x2000), IOCTL_SCSI_GET_ADDRESS,
                                     &address, 8, &address, 8, &returned, nullptr));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_HANDLE);
    os_.CloseHandle(d);
}

TEST_F(SimPlatformTest, StorageQueryOnAZeroedAreaGivesTheDescriptorHead) {
    HANDLE d = Open("\\\\.\\D:");
    std::uint8_t area[kStorageQueryAreaSize] = {};
    DWORD returned = 0;
    ASSERT_TRUE(os_.DeviceIoControl(d, IOCTL_STORAGE_QUERY_PROPERTY, area, sizeof area, area,
                                    sizeof area, &returned, nullptr));
    STORAGE_DEVICE_DESCRIPTOR head;
    std::memcpy(&head, area, sizeof head);
    EXPECT_EQ(returned, 40u);
    EXPECT_EQ(head.Version, 40u);
    EXPECT_GT(head.Size, 40u);
    EXPECT_EQ(head.DeviceType, 5);
    EXPECT_EQ(head.RemovableMedia, 1);
    EXPECT_EQ(head.BusType, BusTypeAtapi);
    os_.CloseHandle(d);
}

TEST_F(SimPlatformTest, PassThroughCarriesDataStatusAndSense) {
    HANDLE d = Open("\\\\.\\D:");
    std::uint8_t data[96] = {};
    DWORD returned = 0;

    auto inquiry = Request(0x12, SCSI_IOCTL_DATA_IN, data, sizeof data);
    ASSERT_TRUE(Send(d, inquiry, &returned));
    EXPECT_EQ(inquiry.sptd.ScsiStatus, 0);
    EXPECT_EQ(inquiry.sptd.DataTransferLength, 96u);
    EXPECT_EQ(std::memcmp(data + 8, "Korvane ", 8), 0);
    EXPECT_EQ(returned, sizeof(SCSI_PASS_THROUGH_DIRECT));

    // A check condition is a successful call; 18 of the 24 sense bytes are filled.
    machine_.drive(0).AddFault(
        MakeFault(sim::Fault::Kind::SenseData, 0x12, sim::Sense{6, 0x29, 0x00}));
    auto check = Request(0x12, SCSI_IOCTL_DATA_IN, data, sizeof data);
    std::memset(check.ucSenseBuf, 0xEE, sizeof check.ucSenseBuf);
    ASSERT_TRUE(Send(d, check, &returned));
    EXPECT_EQ(check.sptd.ScsiStatus, 2);
    EXPECT_EQ(check.sptd.SenseInfoLength, 18);
    EXPECT_EQ(check.ucSenseBuf[2], 6);
    EXPECT_EQ(check.ucSenseBuf[12], 0x29);
    EXPECT_EQ(check.ucSenseBuf[18], 0xEE);
    EXPECT_EQ(returned, check.sptd.SenseInfoOffset + 18);

    machine_.drive(0).AddFault(MakeFault(sim::Fault::Kind::TransportFailure, 0x00));
    auto lost = Request(0x00, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    EXPECT_FALSE(Send(d, lost, &returned));
    EXPECT_EQ(os_.GetLastError(), ERROR_IO_DEVICE);

    // A command that outlasts its time limit fails with the time-out error.
    machine_.drive(0).AddFault(MakeFault(sim::Fault::Kind::Delay, 0x00, sim::Sense{}, 10.0));
    auto slow = Request(0x00, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    slow.sptd.TimeOutValue = 5;
    EXPECT_FALSE(Send(d, slow, &returned));
    EXPECT_EQ(os_.GetLastError(), ERROR_SEM_TIMEOUT);

    machine_.drive(0).Vanish();
    auto gone = Request(0x00, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    EXPECT_FALSE(Send(d, gone, &returned));
    EXPECT_EQ(os_.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    os_.CloseHandle(d);
}

TEST_F(SimPlatformTest, PassThroughRefusesMalformedRequestsBeforeTheDrive) {
    HANDLE d = Open("\\\\.\\D:");
    std::uint8_t data[96] = {};
    using Area = SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER;
    const std::pair<const char*, void (*)(Area&)> cases[] = {
        {"length", [](Area& a) { a.sptd.Length = 40; }},
        {"no cdb", [](Area& a) { a.sptd.CdbLength = 0; }},
        {"long cdb", [](Area& a) { a.sptd.CdbLength = 17; }},
        {"direction", [](Area& a) { a.sptd.DataIn = 3; }},
        {"no buffer", [](Area& a) { a.sptd.DataBuffer = nullptr; }},
        {"sense outside", [](Area& a) { a.sptd.SenseInfoOffset = sizeof(Area) - 8; }},
        {"sense over request", [](Area& a) { a.sptd.SenseInfoOffset = 4; }},
        {"no time limit", [](Area& a) { a.sptd.TimeOutValue = 0; }},
        {"time limit", [](Area& a) { a.sptd.TimeOutValue = 108'001; }},
    };
    for (const auto& [name, spoil] : cases) {
        auto area = Request(0x12, SCSI_IOCTL_DATA_IN, data, sizeof data);
        spoil(area);
        DWORD returned = 99;
        os_.SetLastError(0);
        EXPECT_FALSE(Send(d, area, &returned)) << name;
        EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_PARAMETER) << name;
        EXPECT_EQ(returned, 0u) << name;
    }
    auto area = Request(0x12, SCSI_IOCTL_DATA_IN, data, sizeof data);
    DWORD returned = 0;
    EXPECT_FALSE(os_.DeviceIoControl(d, IOCTL_SCSI_PASS_THROUGH_DIRECT, &area, 40, &area,
                                     sizeof area, &returned, nullptr));
    EXPECT_EQ(os_.GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(machine_.drive(0).Log().empty());

    // No data direction: the length is carried without a buffer.
    auto noData = Request(0x00, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 512);
    EXPECT_TRUE(Send(d, noData, &returned));
    os_.CloseHandle(d);
}

TEST_F(SimPlatformTest, AspiManagerLoadsAndRunsThroughItsEntryPoints) {
    EXPECT_EQ(os_.LoadLibraryA("WNASPI"), nullptr);
    EXPECT_EQ(os_.GetLastError(), ERROR_MOD_NOT_FOUND);
    HMODULE module = os_.LoadLibraryA("wnaspi32.DLL");
    ASSERT_NE(module, nullptr);
    HMODULE again = os_.LoadLibraryA(kAspiLibraryName);
    EXPECT_EQ(again, module);
    EXPECT_EQ(os_.LibraryLoadCount(), 2);

    auto info = reinterpret_cast<GetASPI32SupportInfoFn>(
        os_.GetProcAddress(module, "GetASPI32SupportInfo"));
    auto send =
        reinterpret_cast<SendASPI32CommandFn>(os_.GetProcAddress(module, "SendASPI32Command"));
    ASSERT_NE(info, nullptr);
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(os_.GetProcAddress(module, "SendASPI32CommandEx"), nullptr);
    EXPECT_EQ(os_.GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(info(), 0x0101u);

    // An asynchronous request ends on the event the caller waits on.
    std::uint8_t data[96] = {};
    HANDLE event = os_.CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = 1;
    srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
    srb.SRB_BufLen = sizeof data;
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 12;
    srb.SRB_PostProc = event;
    srb.CDBByte[0] = 0x12;
    srb.CDBByte[4] = sizeof data;
    EXPECT_EQ(send(&srb), SS_PENDING);
    EXPECT_EQ(os_.WaitForSingleObject(event, 108'000'000), WAIT_OBJECT_0);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(machine_.drive(1).Log().size(), 1u);
    EXPECT_TRUE(os_.CloseHandle(event));

    EXPECT_TRUE(os_.FreeLibrary(module));
    EXPECT_TRUE(os_.FreeLibrary(module));
    EXPECT_FALSE(os_.FreeLibrary(module));
    EXPECT_EQ(os_.LibraryLoadCount(), 0);
    EXPECT_EQ(os_.TotalLibraryLoads(), 2);
    EXPECT_EQ(os_.GetProcAddress(module, "SendASPI32Command"), nullptr);
}

TEST_F(SimPlatformTest, AspiManagerMissingOrIncomplete) {
    machine_.aspi().config().hasSendCommandEntry = false;
    HMODULE module = os_.LoadLibraryA("WNASPI32");
    ASSERT_NE(module, nullptr);
    EXPECT_NE(os_.GetProcAddress(module, "GetASPI32SupportInfo"), nullptr);
    EXPECT_EQ(os_.GetProcAddress(module, "SendASPI32Command"), nullptr);
    EXPECT_EQ(os_.GetLastError(), ERROR_PROC_NOT_FOUND);
    os_.FreeLibrary(module);

    machine_.aspi().config().installed = false;
    EXPECT_EQ(os_.LoadLibraryA("WNASPI32"), nullptr);
    EXPECT_EQ(os_.GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(os_.TotalLibraryLoads(), 1);
}

TEST_F(SimPlatformTest, EventWaitsRunOnTheEmulatedClock) {
    HANDLE event = os_.CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(os_.WaitForSingleObject(event, 60'000), WAIT_TIMEOUT);
    EXPECT_EQ(machine_.clock.NowNanos(), 60'000'000'000);

    HANDLE d = Open("\\\\.\\D:");
    EXPECT_EQ(os_.WaitForSingleObject(d, 0), WAIT_FAILED);
    os_.CloseHandle(d);
    EXPECT_TRUE(os_.CloseHandle(event));
    EXPECT_EQ(os_.WaitForSingleObject(event, 0), WAIT_FAILED);

    machine_.os.eventCreateFails = true;
    EXPECT_EQ(os_.CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
}

TEST_F(SimPlatformTest, CounterAndSleepFollowTheClock) {
    LARGE_INTEGER frequency{};
    ASSERT_TRUE(os_.QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    LARGE_INTEGER before{}, after{};
    os_.QueryPerformanceCounter(&before);
    os_.Sleep(1500);
    os_.QueryPerformanceCounter(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 15'000'000);
    EXPECT_LT(after.QuadPart - before.QuadPart, 15'001'000);

    machine_.os.hasPerformanceCounter = false;
    EXPECT_FALSE(os_.QueryPerformanceFrequency(&frequency));
}

// The sequence a forced restart takes on the NT family.
BOOL Restart(SimPlatform& os, DWORD* adjustError) {
    HANDLE token = nullptr;
    if (!os.OpenProcessToken(os.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                             &token)) {
        return FALSE;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    os.LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    os.SetLastError(12345);
    os.AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    *adjustError = os.GetLastError();
    os.CloseHandle(token);
    return os.ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0);
}

TEST_F(SimPlatformTest, RestartNeedsTheShutdownPrivilegeOnNt) {
    EXPECT_FALSE(os_.ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
    EXPECT_EQ(os_.GetLastError(), ERROR_PRIVILEGE_NOT_HELD);

    DWORD adjustError = 0;
    EXPECT_TRUE(Restart(os_, &adjustError));
    EXPECT_EQ(adjustError, ERROR_SUCCESS);
    EXPECT_TRUE(os_.ShutdownPrivilegeEnabled());
    const auto restarts = machine_.Restarts();
    ASSERT_EQ(restarts.size(), 2u);
    EXPECT_FALSE(restarts[0].accepted);
    EXPECT_EQ(restarts[1].flags, 6u);
    EXPECT_TRUE(restarts[1].accepted);
    EXPECT_EQ(os_.OpenHandleCount(), 0);

    LUID luid{};
    EXPECT_FALSE(os_.LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(os_.GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
}

TEST_F(SimPlatformTest, RestartFailuresOnNt) {
    machine_.os.lacksShutdownPrivilege = true;
    DWORD adjustError = 0;
    EXPECT_FALSE(Restart(os_, &adjustError));
    EXPECT_EQ(adjustError, ERROR_NOT_ALL_ASSIGNED);  // the adjustment itself "succeeds"
    EXPECT_FALSE(os_.ShutdownPrivilegeEnabled());

    machine_.os.lacksShutdownPrivilege = false;
    machine_.os.restartRefused = true;
    EXPECT_FALSE(Restart(os_, &adjustError));
    EXPECT_EQ(adjustError, ERROR_SUCCESS);

    machine_.os.tokenOpenFails = true;
    HANDLE token = nullptr;
    EXPECT_FALSE(os_.OpenProcessToken(os_.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    EXPECT_EQ(os_.GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(machine_.Restarts().size(), 2u);
    for (const auto& request : machine_.Restarts()) {
        EXPECT_FALSE(request.accepted);
    }
}

TEST_F(SimPlatformTest, RestartOnThe95LineNeedsNoToken) {
    machine_.os.ntFamily = false;
    HANDLE token = nullptr;
    EXPECT_FALSE(os_.OpenProcessToken(os_.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    EXPECT_TRUE(os_.ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
    ASSERT_EQ(machine_.Restarts().size(), 1u);
    EXPECT_TRUE(machine_.Restarts()[0].accepted);
}

TEST_F(SimPlatformTest, VersionQuery) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(os_.GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwBuildNumber, 2600u);

    machine_.os.ntFamily = false;
    ASSERT_TRUE(os_.GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_EQ(info.dwMinorVersion, 10u);
    EXPECT_EQ(info.dwBuildNumber & 0xFFFF, 2222u);

    info.dwOSVersionInfoSize = 156;
    EXPECT_FALSE(os_.GetVersionExA(&info));
    EXPECT_EQ(os_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    info.dwOSVersionInfoSize = sizeof info;
    machine_.os.versionQueryFails = true;
    EXPECT_FALSE(os_.GetVersionExA(&info));
}

TEST_F(SimPlatformTest, HeapGivesZeroedBlocksOrNothing) {
    HANDLE heap = os_.GetProcessHeap();
    ASSERT_NE(heap, nullptr);
    auto* block = static_cast<std::uint8_t*>(os_.HeapAlloc(heap, kHeapZeroMemory, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(block[i], 0) << i;
    }
    EXPECT_EQ(os_.HeapBlockCount(), 1);
    std::uint8_t local = 0;
    EXPECT_FALSE(os_.HeapFree(heap, 0, &local));
    EXPECT_TRUE(os_.HeapFree(heap, 0, block));
    EXPECT_EQ(os_.HeapBlockCount(), 0);

    machine_.os.heapFails = true;
    EXPECT_EQ(os_.GetProcessHeap(), nullptr);
    EXPECT_EQ(os_.HeapAlloc(heap, kHeapZeroMemory, 64), nullptr);
}

TEST_F(SimPlatformTest, CompareStringHonoursCounts) {
    EXPECT_EQ(os_.CompareStringA(LOCALE_USER_DEFAULT, 0, "QM01", -1, "QM01", -1), CSTR_EQUAL);
    EXPECT_EQ(os_.CompareStringA(LOCALE_USER_DEFAULT, 0, "QM01", -1, "QM02", -1), CSTR_LESS_THAN);
    EXPECT_EQ(os_.CompareStringA(LOCALE_USER_DEFAULT, 0, "QM10", 4, "QM02", 4), CSTR_GREATER_THAN);
    EXPECT_EQ(os_.CompareStringA(LOCALE_USER_DEFAULT, 0, "QM01xyz", 4, "QM01", -1), CSTR_EQUAL);
    EXPECT_EQ(os_.CompareStringA(LOCALE_USER_DEFAULT, 0, "QM", 2, "QM01", -1), CSTR_LESS_THAN);
    EXPECT_EQ(os_.CompareStringA(LOCALE_USER_DEFAULT, 0, nullptr, -1, "QM01", -1), 0);
    EXPECT_EQ(os_.CompareStringA(LOCALE_USER_DEFAULT, 0, "a", -2, "a", -1), 0);
}

TEST_F(SimPlatformTest, LastErrorBelongsToTheThread) {
    os_.SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 99;
    std::thread other([&] { seen = os_.GetLastError(); });
    other.join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(os_.GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace quiver
