// The types, constants and request blocks that the system exchanges with the operating
// system and with the ASPI manager. They carry the Win32 names and, for the pointer width of
// the build, the Win32 layouts: the Windows backend hands them to the system as they are
// (platform/win32 checks them against the system's own definitions), the other backends
// read and write them like the system would.
//
// Include this header before <windows.h> in any file that needs both: the system headers
// define several of these names as macros.
#pragma once

#include <cstddef>
#include <cstdint>

// The calling convention of the system's own functions and of the functions it calls back:
// __stdcall on 32-bit x86, the one convention of the platform elsewhere. The system headers
// keep a definition that is already there.
#ifndef WINAPI
#if defined(__i386__) || defined(_M_IX86)
#define WINAPI __attribute__((__stdcall__))
#else
#define WINAPI
#endif
#endif

namespace quiver {

using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using BOOLEAN = std::uint8_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using LCID = std::uint32_t;
using LONGLONG = std::int64_t;

using WCHAR = wchar_t;
using HANDLE = void*;
using HMODULE = void*;
using HWND = void*;
using FARPROC = void (*)();

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// --- Drive strings, drive types, device open -------------------------------------------------

constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;
constexpr UINT DRIVE_RAMDISK = 6;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
constexpr DWORD OPEN_EXISTING = 3;

// --- Last-error codes the backends report ----------------------------------------------------

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_SHUTDOWN_IN_PROGRESS = 1115;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_NOT_LOCKED = 158;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;

// --- Device requests --------------------------------------------------------------------------

constexpr DWORD IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x0004D014u;
constexpr DWORD IOCTL_SCSI_GET_ADDRESS = 0x00041018u;
constexpr DWORD IOCTL_STORAGE_QUERY_PROPERTY = 0x002D1400u;
// The volume lock: only the handle that locked the volume reaches it until it unlocks or closes.
constexpr DWORD FSCTL_LOCK_VOLUME = 0x00090018u;
constexpr DWORD FSCTL_UNLOCK_VOLUME = 0x0009001Cu;

constexpr UCHAR SCSI_IOCTL_DATA_OUT = 0;
constexpr UCHAR SCSI_IOCTL_DATA_IN = 1;
constexpr UCHAR SCSI_IOCTL_DATA_UNSPECIFIED = 2;

struct SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    void* DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
};

// The request area of the pass-through route: the request, a filler and the sense buffer the
// drive's sense data land in. 80 bytes on a 32-bit build.
struct SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG Filler;
    UCHAR ucSenseBuf[32];
};

struct SCSI_ADDRESS {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
};

enum STORAGE_PROPERTY_ID : std::int32_t { StorageDeviceProperty = 0, StorageAdapterProperty = 1 };
enum STORAGE_QUERY_TYPE : std::int32_t { PropertyStandardQuery = 0, PropertyExistsQuery = 1 };
enum STORAGE_BUS_TYPE : std::int32_t {
    BusTypeUnknown = 0,
    BusTypeScsi = 1,
    BusTypeAtapi = 2,
    BusTypeAta = 3,
    BusTypeUsb = 7,
    BusTypeSata = 11,
};

struct STORAGE_PROPERTY_QUERY {
    STORAGE_PROPERTY_ID PropertyId;
    STORAGE_QUERY_TYPE QueryType;
    UCHAR AdditionalParameters[1];
};

struct STORAGE_DEVICE_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    UCHAR DeviceType;
    UCHAR DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    ULONG VendorIdOffset;
    ULONG ProductIdOffset;
    ULONG ProductRevisionOffset;
    ULONG SerialNumberOffset;
    STORAGE_BUS_TYPE BusType;
    ULONG RawPropertiesLength;
    UCHAR RawDeviceProperties[1];
};

// Size of the zeroed area the storage property query is made with: the head of the descriptor.
constexpr DWORD kStorageQueryAreaSize = 40;

// --- Time, version, token, restart, text -----------------------------------------------------

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};

constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
constexpr const char* SE_SHUTDOWN_NAME = "SeShutdownPrivilege";

constexpr UINT EWX_LOGOFF = 0;
constexpr UINT EWX_SHUTDOWN = 1;
constexpr UINT EWX_REBOOT = 2;
constexpr UINT EWX_FORCE = 4;
constexpr UINT EWX_POWEROFF = 8;

// The thread's execution state: ES_CONTINUOUS | ES_SYSTEM_REQUIRED keeps the system from sleeping
// until the thread sets ES_CONTINUOUS alone.
using EXECUTION_STATE = DWORD;
constexpr EXECUTION_STATE ES_SYSTEM_REQUIRED = 0x00000001u;
constexpr EXECUTION_STATE ES_DISPLAY_REQUIRED = 0x00000002u;
constexpr EXECUTION_STATE ES_AWAYMODE_REQUIRED = 0x00000040u;
constexpr EXECUTION_STATE ES_CONTINUOUS = 0x80000000u;

// Console control: the events the system hands to a process's console control handlers, newest
// handler first, on a thread it makes for them. A handler returns TRUE when it dealt with the
// event; when none did, the default handler ends the process. After the close, log-off and
// shutdown events the system ends the process whatever the handlers return.
using PHANDLER_ROUTINE = BOOL(WINAPI*)(DWORD CtrlType);
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_ICONERROR = 0x00000010;
constexpr UINT MB_ICONWARNING = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// --- The ASPI manager ---------------------------------------------------------------------------

constexpr const char* kAspiLibraryName = "WNASPI32";

// Commands
constexpr BYTE SC_HA_INQUIRY = 0x00;
constexpr BYTE SC_GET_DEV_TYPE = 0x01;
constexpr BYTE SC_EXEC_SCSI_CMD = 0x02;
constexpr BYTE SC_ABORT_SRB = 0x03;
constexpr BYTE SC_RESET_DEV = 0x04;
constexpr BYTE SC_RESCAN_SCSI_BUS = 0x07;

// Request statuses
constexpr BYTE SS_PENDING = 0x00;
constexpr BYTE SS_COMP = 0x01;
constexpr BYTE SS_ABORTED = 0x02;
constexpr BYTE SS_ABORT_FAIL = 0x03;
constexpr BYTE SS_ERR = 0x04;
constexpr BYTE SS_INVALID_CMD = 0x80;
constexpr BYTE SS_INVALID_HA = 0x81;
constexpr BYTE SS_NO_DEVICE = 0x82;
constexpr BYTE SS_INVALID_SRB = 0xE0;
constexpr BYTE SS_OLD_MANAGER = 0xE1;
constexpr BYTE SS_ILLEGAL_MODE = 0xE2;
constexpr BYTE SS_NO_ASPI = 0xE3;
constexpr BYTE SS_FAILED_INIT = 0xE4;
constexpr BYTE SS_BUFFER_TO_BIG = 0xE6;

// Request flags
constexpr BYTE SRB_POSTING = 0x01;
constexpr BYTE SRB_ENABLE_RESIDUAL_COUNT = 0x04;
constexpr BYTE SRB_DIR_IN = 0x08;
constexpr BYTE SRB_DIR_OUT = 0x10;
constexpr BYTE SRB_EVENT_NOTIFY = 0x40;

constexpr BYTE DTYPE_DASD = 0x00;
constexpr BYTE DTYPE_CDROM = 0x05;
constexpr BYTE DTYPE_UNKNOWN = 0x1F;

constexpr BYTE SENSE_LEN = 14;

// Host adapter status and target status of an executed request
constexpr BYTE HASTAT_OK = 0x00;
constexpr BYTE HASTAT_SEL_TO = 0x11;
constexpr BYTE STATUS_GOOD = 0x00;
constexpr BYTE STATUS_CHKCOND = 0x02;

#pragma pack(push, 1)

struct SRB_Header {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
};

struct SRB_HAInquiry {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE HA_Count;
    BYTE HA_SCSI_ID;
    BYTE HA_ManagerId[16];
    BYTE HA_Identifier[16];
    BYTE HA_Unique[16];
    WORD HA_Rsvd1;
};

struct SRB_GDEVBlock {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    BYTE SRB_DeviceType;
    BYTE SRB_Rsvd1;
};

struct SRB_ExecSCSICmd {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    WORD SRB_Rsvd1;
    DWORD SRB_BufLen;
    BYTE* SRB_BufPointer;
    BYTE SRB_SenseLen;
    BYTE SRB_CDBLen;
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    void* SRB_PostProc;
    BYTE SRB_Rsvd2[20];
    BYTE CDBByte[16];
    BYTE SenseArea[SENSE_LEN + 2];
};

struct SRB_RescanPort {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
};

#pragma pack(pop)

// The entry points of the manager. On 32-bit Windows both are __cdecl, the default.
using GetASPI32SupportInfoFn = DWORD (*)();
using SendASPI32CommandFn = DWORD (*)(void* srb);

// --- Layout checks --------------------------------------------------------------------------

static_assert(sizeof(SCSI_ADDRESS) == 8);
static_assert(sizeof(OSVERSIONINFOA) == 148);
static_assert(sizeof(LARGE_INTEGER) == 8);
static_assert(sizeof(TOKEN_PRIVILEGES) == 16);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == kStorageQueryAreaSize);
static_assert(sizeof(SRB_Header) == 8);
static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(sizeof(SRB_GDEVBlock) == 12);
static_assert(sizeof(SRB_RescanPort) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
// The sense data follow the request: in an execute request its last SENSE_LEN + 2 bytes, right
// after the command block; in the pass-through area a buffer of 32 bytes.
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) + 16 == offsetof(SRB_ExecSCSICmd, SenseArea));
static_assert(sizeof(SRB_ExecSCSICmd) - offsetof(SRB_ExecSCSICmd, SenseArea) == SENSE_LEN + 2);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER::ucSenseBuf) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf) >=
              sizeof(SCSI_PASS_THROUGH_DIRECT));

#if UINTPTR_MAX == 0xFFFFFFFFu
// The classic 32-bit layouts.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf) == 48);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER) == 80);
static_assert(sizeof(SRB_ExecSCSICmd) == 80);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64);
#else
// 64-bit: every pointer takes 8 bytes and the pass-through request is 8-aligned.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf) == 60);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER) == 96);
static_assert(sizeof(SRB_ExecSCSICmd) == 88);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 28);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 56);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 72);
#endif

}  // namespace quiver
