#include "platform/win32/win32_platform.h"

#include <cstddef>

namespace {

// Our constants, taken before the system headers turn their names into macros.
constexpr auto kOurPassThroughDirect = quiver::IOCTL_SCSI_PASS_THROUGH_DIRECT;
constexpr auto kOurGetAddress = quiver::IOCTL_SCSI_GET_ADDRESS;
constexpr auto kOurQueryProperty = quiver::IOCTL_STORAGE_QUERY_PROPERTY;
constexpr auto kOurDriveCdrom = quiver::DRIVE_CDROM;
constexpr auto kOurGenericRead = quiver::GENERIC_READ;
constexpr auto kOurGenericWrite = quiver::GENERIC_WRITE;
constexpr auto kOurOpenExisting = quiver::OPEN_EXISTING;
constexpr auto kOurEwxReboot = quiver::EWX_REBOOT;
constexpr auto kOurEwxForce = quiver::EWX_FORCE;
constexpr auto kOurTokenAdjust = quiver::TOKEN_ADJUST_PRIVILEGES;
constexpr auto kOurTokenQuery = quiver::TOKEN_QUERY;
constexpr auto kOurPrivilegeEnabled = quiver::SE_PRIVILEGE_ENABLED;
constexpr auto kOurNotAllAssigned = quiver::ERROR_NOT_ALL_ASSIGNED;
constexpr auto kOurPlatformNt = quiver::VER_PLATFORM_WIN32_NT;
constexpr auto kOurUserDefault = quiver::LOCALE_USER_DEFAULT;
constexpr auto kOurWaitTimeout = quiver::WAIT_TIMEOUT;
constexpr auto kOurIconError = quiver::MB_ICONERROR;
constexpr auto kOurDataIn = quiver::SCSI_IOCTL_DATA_IN;
constexpr auto kOurDataOut = quiver::SCSI_IOCTL_DATA_OUT;
constexpr auto kOurDataUnspecified = quiver::SCSI_IOCTL_DATA_UNSPECIFIED;
constexpr auto kOurLockVolume = quiver::FSCTL_LOCK_VOLUME;
constexpr auto kOurUnlockVolume = quiver::FSCTL_UNLOCK_VOLUME;
constexpr auto kOurSystemRequired = quiver::ES_SYSTEM_REQUIRED;
constexpr auto kOurContinuous = quiver::ES_CONTINUOUS;
constexpr auto kOurAlreadyExists = quiver::ERROR_ALREADY_EXISTS;
constexpr auto kOurCallNotImplemented = quiver::ERROR_CALL_NOT_IMPLEMENTED;
constexpr auto kOurCtrlC = quiver::CTRL_C_EVENT;
constexpr auto kOurCtrlBreak = quiver::CTRL_BREAK_EVENT;
constexpr auto kOurCtrlClose = quiver::CTRL_CLOSE_EVENT;
constexpr auto kOurCtrlLogoff = quiver::CTRL_LOGOFF_EVENT;
constexpr auto kOurCtrlShutdown = quiver::CTRL_SHUTDOWN_EVENT;

}  // namespace

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The order matters: each of these needs the one before it.
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
// clang-format on

// The system's values and layouts are ours.
static_assert(kOurPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(kOurGetAddress == IOCTL_SCSI_GET_ADDRESS);
static_assert(kOurQueryProperty == IOCTL_STORAGE_QUERY_PROPERTY);
static_assert(kOurDriveCdrom == DRIVE_CDROM);
static_assert(kOurGenericRead == GENERIC_READ && kOurGenericWrite == GENERIC_WRITE);
static_assert(kOurOpenExisting == OPEN_EXISTING);
static_assert(kOurEwxReboot == EWX_REBOOT && kOurEwxForce == EWX_FORCE);
static_assert(kOurTokenAdjust == TOKEN_ADJUST_PRIVILEGES && kOurTokenQuery == TOKEN_QUERY);
static_assert(kOurPrivilegeEnabled == SE_PRIVILEGE_ENABLED);
static_assert(kOurNotAllAssigned == ERROR_NOT_ALL_ASSIGNED);
static_assert(kOurPlatformNt == VER_PLATFORM_WIN32_NT);
static_assert(kOurUserDefault == LOCALE_USER_DEFAULT);
static_assert(kOurWaitTimeout == WAIT_TIMEOUT);
static_assert(kOurIconError == MB_ICONERROR);
static_assert(kOurDataIn == SCSI_IOCTL_DATA_IN && kOurDataOut == SCSI_IOCTL_DATA_OUT &&
              kOurDataUnspecified == SCSI_IOCTL_DATA_UNSPECIFIED);
static_assert(kOurLockVolume == FSCTL_LOCK_VOLUME && kOurUnlockVolume == FSCTL_UNLOCK_VOLUME);
static_assert(kOurSystemRequired == ES_SYSTEM_REQUIRED && kOurContinuous == ES_CONTINUOUS);
static_assert(kOurAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(kOurCallNotImplemented == ERROR_CALL_NOT_IMPLEMENTED);
static_assert(kOurCtrlC == CTRL_C_EVENT && kOurCtrlBreak == CTRL_BREAK_EVENT &&
              kOurCtrlClose == CTRL_CLOSE_EVENT && kOurCtrlLogoff == CTRL_LOGOFF_EVENT &&
              kOurCtrlShutdown == CTRL_SHUTDOWN_EVENT);
static_assert(sizeof(quiver::WCHAR) == sizeof(::WCHAR));
// A console control handler of ours is the system's kind of function: the same convention (the
// one WINAPI macro declares both), and a result and an argument of the same sizes (the system's
// DWORD is unsigned long, ours std::uint32_t; both 32 bits, passed alike).
static_assert(sizeof(quiver::BOOL) == sizeof(::BOOL) && sizeof(quiver::DWORD) == sizeof(::DWORD));

#define QUIVER_SAME_FIELD(type, field) \
    static_assert(offsetof(quiver::type, field) == offsetof(::type, field), #type "." #field)
static_assert(sizeof(quiver::SCSI_PASS_THROUGH_DIRECT) == sizeof(::SCSI_PASS_THROUGH_DIRECT));
QUIVER_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, ScsiStatus);
QUIVER_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, DataIn);
QUIVER_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, DataTransferLength);
QUIVER_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, TimeOutValue);
QUIVER_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, DataBuffer);
QUIVER_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset);
QUIVER_SAME_FIELD(SCSI_PASS_THROUGH_DIRECT, Cdb);
static_assert(sizeof(quiver::SCSI_ADDRESS) == sizeof(::SCSI_ADDRESS));
QUIVER_SAME_FIELD(SCSI_ADDRESS, PortNumber);
QUIVER_SAME_FIELD(SCSI_ADDRESS, Lun);
static_assert(sizeof(quiver::STORAGE_PROPERTY_QUERY) == sizeof(::STORAGE_PROPERTY_QUERY));
QUIVER_SAME_FIELD(STORAGE_DEVICE_DESCRIPTOR, DeviceType);
QUIVER_SAME_FIELD(STORAGE_DEVICE_DESCRIPTOR, BusType);
QUIVER_SAME_FIELD(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
static_assert(sizeof(quiver::OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA));
QUIVER_SAME_FIELD(OSVERSIONINFOA, dwPlatformId);
static_assert(sizeof(quiver::LARGE_INTEGER) == sizeof(::LARGE_INTEGER));
static_assert(sizeof(quiver::LUID) == sizeof(::LUID));
static_assert(sizeof(quiver::TOKEN_PRIVILEGES) == sizeof(::TOKEN_PRIVILEGES));
QUIVER_SAME_FIELD(TOKEN_PRIVILEGES, Privileges);
#undef QUIVER_SAME_FIELD

namespace quiver {

namespace {

template <typename To, typename From>
To As(From from) {
    return reinterpret_cast<To>(from);
}

// An entry point of a system library that older systems lack; null where there is none.
template <typename Fn>
Fn Optional(const char* library, const char* name) {
    const ::HMODULE module = ::GetModuleHandleA(library);
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Fn>(As<quiver::FARPROC>(::GetProcAddress(module, name)));
}

}  // namespace

DWORD Win32Platform::GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer) {
    return ::GetLogicalDriveStringsA(nBufferLength, lpBuffer);
}

UINT Win32Platform::GetDriveTypeA(const char* lpRootPathName) {
    return ::GetDriveTypeA(lpRootPathName);
}

HANDLE Win32Platform::CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                  void* lpSecurityAttributes, DWORD dwCreationDisposition,
                                  DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return ::CreateFileA(lpFileName, dwDesiredAccess, dwShareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(lpSecurityAttributes),
                         dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL Win32Platform::DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer,
                                    DWORD nInBufferSize, void* lpOutBuffer, DWORD nOutBufferSize,
                                    DWORD* lpBytesReturned, void* lpOverlapped) {
    ::DWORD returned = 0;
    const ::BOOL ok =
        ::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                          nOutBufferSize, &returned, static_cast<LPOVERLAPPED>(lpOverlapped));
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = static_cast<DWORD>(returned);
    }
    return ok;
}

BOOL Win32Platform::CloseHandle(HANDLE hObject) {
    return ::CloseHandle(hObject);
}

DWORD Win32Platform::GetLastError() {
    return ::GetLastError();
}

void Win32Platform::SetLastError(DWORD dwErrCode) {
    ::SetLastError(dwErrCode);
}

HANDLE Win32Platform::GetProcessHeap() {
    return ::GetProcessHeap();
}

void* Win32Platform::HeapAlloc(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes) {
    return ::HeapAlloc(hHeap, dwFlags, dwBytes);
}

BOOL Win32Platform::HeapFree(HANDLE hHeap, DWORD dwFlags, void* lpMem) {
    return ::HeapFree(hHeap, dwFlags, lpMem);
}

HMODULE Win32Platform::LoadLibraryA(const char* lpLibFileName) {
    HMODULE module = ::LoadLibraryExA(
        lpLibFileName, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        // A system without the restricted search: take the current directory out of the
        // search order, then load as usual.
        ::SetDllDirectoryA("");
        module = ::LoadLibraryA(lpLibFileName);
    }
    return module;
}

FARPROC Win32Platform::GetProcAddress(HMODULE hModule, const char* lpProcName) {
    return As<FARPROC>(::GetProcAddress(static_cast<::HMODULE>(hModule), lpProcName));
}

BOOL Win32Platform::FreeLibrary(HMODULE hLibModule) {
    return ::FreeLibrary(static_cast<::HMODULE>(hLibModule));
}

HANDLE Win32Platform::CreateEventA(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                   const char* lpName) {
    return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(lpEventAttributes), bManualReset,
                          bInitialState, lpName);
}

DWORD Win32Platform::WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return ::WaitForSingleObject(hHandle, dwMilliseconds);
}

BOOL Win32Platform::QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    return ::QueryPerformanceFrequency(As<::LARGE_INTEGER*>(lpFrequency));
}

BOOL Win32Platform::QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    return ::QueryPerformanceCounter(As<::LARGE_INTEGER*>(lpPerformanceCount));
}

void Win32Platform::Sleep(DWORD dwMilliseconds) {
    ::Sleep(dwMilliseconds);
}

BOOL Win32Platform::SwitchToThread() {
    return ::SwitchToThread();
}

BOOL Win32Platform::GetVersionExA(OSVERSIONINFOA* lpVersionInformation) {
    return ::GetVersionExA(As<::OSVERSIONINFOA*>(lpVersionInformation));
}

HANDLE Win32Platform::GetCurrentProcess() {
    return ::GetCurrentProcess();
}

BOOL Win32Platform::OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                     HANDLE* TokenHandle) {
    return ::OpenProcessToken(ProcessHandle, DesiredAccess, TokenHandle);
}

BOOL Win32Platform::LookupPrivilegeValueA(const char* lpSystemName, const char* lpName,
                                          LUID* lpLuid) {
    return ::LookupPrivilegeValueA(lpSystemName, lpName, As<::PLUID>(lpLuid));
}

BOOL Win32Platform::AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                          TOKEN_PRIVILEGES* NewState, DWORD BufferLength,
                                          TOKEN_PRIVILEGES* PreviousState, DWORD* ReturnLength) {
    ::DWORD length = 0;
    const ::BOOL ok = ::AdjustTokenPrivileges(
        TokenHandle, DisableAllPrivileges, As<::PTOKEN_PRIVILEGES>(NewState), BufferLength,
        As<::PTOKEN_PRIVILEGES>(PreviousState), ReturnLength != nullptr ? &length : nullptr);
    if (ReturnLength != nullptr) {
        *ReturnLength = static_cast<DWORD>(length);
    }
    return ok;
}

BOOL Win32Platform::ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    return ::ExitWindowsEx(uFlags, dwReason);
}

HANDLE Win32Platform::CreateMutexA(void* lpMutexAttributes, BOOL bInitialOwner,
                                   const char* lpName) {
    return ::CreateMutexA(static_cast<LPSECURITY_ATTRIBUTES>(lpMutexAttributes), bInitialOwner,
                          lpName);
}

EXECUTION_STATE Win32Platform::SetThreadExecutionState(EXECUTION_STATE esFlags) {
    return ::SetThreadExecutionState(esFlags);
}

// The shutdown block reasons came with Windows Vista: looked up, so that the program still
// starts on Windows XP.
BOOL Win32Platform::ShutdownBlockReasonCreate(HWND hWnd, const WCHAR* pwszReason) {
    using Fn = ::BOOL(WINAPI*)(::HWND, ::LPCWSTR);
    static const Fn create = Optional<Fn>("user32.dll", "ShutdownBlockReasonCreate");
    if (create == nullptr) {
        ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return create(static_cast<::HWND>(hWnd), pwszReason);
}

BOOL Win32Platform::ShutdownBlockReasonDestroy(HWND hWnd) {
    using Fn = ::BOOL(WINAPI*)(::HWND);
    static const Fn destroy = Optional<Fn>("user32.dll", "ShutdownBlockReasonDestroy");
    if (destroy == nullptr) {
        ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return destroy(static_cast<::HWND>(hWnd));
}

BOOL Win32Platform::SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    const auto handler =
        reinterpret_cast<::PHANDLER_ROUTINE>(reinterpret_cast<quiver::FARPROC>(HandlerRoutine));
    return ::SetConsoleCtrlHandler(handler, Add);
}

int Win32Platform::CompareStringA(LCID Locale, DWORD dwCmpFlags, const char* lpString1,
                                  int cchCount1, const char* lpString2, int cchCount2) {
    return ::CompareStringA(Locale, dwCmpFlags, lpString1, cchCount1, lpString2, cchCount2);
}

int Win32Platform::MessageBoxA(HWND hWnd, const char* lpText, const char* lpCaption, UINT uType) {
    if (messageBox_) {
        return messageBox_(lpText, lpCaption, uType);
    }
    return ::MessageBoxA(static_cast<::HWND>(hWnd), lpText, lpCaption, uType);
}

}  // namespace quiver
