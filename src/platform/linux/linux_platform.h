// The platform seam on Linux. Optical drives come from sysfs (/sys/class/block/srN with a
// device type of 5) and are reached through SG_IO on /dev/srN, falling back to the matching
// /dev/sgN for the commands the kernel's command filter refuses on the block node. The generic
// node is used only once it has confirmed that it is the block node's device (the SCSI address
// of SG_GET_SCSI_ID against that of SCSI_IOCTL_GET_IDLUN); otherwise those commands are
// refused and the refusal is reported, naming both nodes.
//
// A Linux drive has no letter. Each optical drive gets a two-character root from its sr
// number, stable for as long as the drive keeps that number: sr0 to sr9 are "0:" to "9:",
// sr10 to sr35 are "A:" to "Z:". Drives numbered above 35 are not listed. The drive strings
// are "0:\", "1:\" ..., and the device path of a root is "\\.\0:" as on Windows.
//
// Thread-safe; the last error is kept per thread. Handles are made-up values that are never
// valid pointers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/handle_values.h"
#include "platform/heap_and_token.h"
#include "platform/platform.h"

namespace quiver {

class LinuxPlatform : public Platform {
  public:
    // What ExitWindowsEx asks for.
    enum class RestartKind { Reboot, PowerOff };

    // The parts of the system a test replaces. Every empty member takes the real one.
    struct Hooks {
        // Monotonic time in nanoseconds (CLOCK_MONOTONIC).
        std::function<std::int64_t()> monotonicNanos;
        // Sleeps for the given milliseconds (nanosleep).
        std::function<void(DWORD)> sleep;
        // Whether this process may restart the machine: CAP_SYS_BOOT, or the login manager
        // answers CanReboot with "yes" or "challenge".
        std::function<bool()> mayRestart;
        // Carries out the restart: sync(), then the login manager's Reboot (or PowerOff), then
        // reboot(2). Returns false when nothing accepted the request.
        std::function<bool(RestartKind)> restart;
        // Shows a plain message box; the default writes it to standard error and answers OK,
        // or No to a yes/no question (nobody can answer on standard error).
        std::function<int(const char* text, const char* caption, UINT type)> messageBox;
        // Tells of a request the backend refused for the drive's safety (a generic node that
        // is not the block node's device); called on the thread of the request. The default
        // writes the text to standard error.
        std::function<void(const std::string& text)> report;
    };

    // `root` is prefixed to every sysfs and /dev path ("/" on a real system; a temporary
    // directory holding sys/ and dev/ in tests).
    explicit LinuxPlatform(std::string root = "/", Hooks hooks = {});
    ~LinuxPlatform() override;

    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    // The root of sr number `n` ("0:", ..., "Z:"), or empty above 35; and back (-1 for a
    // string that names no root; "0:", "0:\" and lower-case letters are accepted).
    static std::string RootForSrNumber(int n);
    static int SrNumberForRoot(const char* root);

    // The optical drives sysfs lists now, by sr number, ascending.
    std::vector<int> OpticalSrNumbers() const;

    DWORD GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer) override;
    UINT GetDriveTypeA(const char* lpRootPathName) override;
    HANDLE CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       void* lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override;
    BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer,
                         DWORD nInBufferSize, void* lpOutBuffer, DWORD nOutBufferSize,
                         DWORD* lpBytesReturned, void* lpOverlapped) override;
    BOOL CloseHandle(HANDLE hObject) override;
    DWORD GetLastError() override;
    void SetLastError(DWORD dwErrCode) override;

    HANDLE GetProcessHeap() override;
    void* HeapAlloc(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes) override;
    BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, void* lpMem) override;

    // There is no ASPI manager on Linux: loading it fails.
    HMODULE LoadLibraryA(const char* lpLibFileName) override;
    FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) override;
    BOOL FreeLibrary(HMODULE hLibModule) override;

    HANDLE CreateEventA(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                        const char* lpName) override;
    DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) override;

    BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) override;
    BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) override;
    void Sleep(DWORD dwMilliseconds) override;
    BOOL SwitchToThread() override;

    BOOL GetVersionExA(OSVERSIONINFOA* lpVersionInformation) override;
    HANDLE GetCurrentProcess() override;
    BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) override;
    BOOL LookupPrivilegeValueA(const char* lpSystemName, const char* lpName, LUID* lpLuid) override;
    BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                               TOKEN_PRIVILEGES* NewState, DWORD BufferLength,
                               TOKEN_PRIVILEGES* PreviousState, DWORD* ReturnLength) override;
    BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) override;

    // The Linux program keeps other updaters, sleep and shutdown away with its own guards
    // (platform/linux/linux_flash_guards.h): these four fail with ERROR_CALL_NOT_IMPLEMENTED.
    HANDLE CreateMutexA(void* lpMutexAttributes, BOOL bInitialOwner, const char* lpName) override;
    EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE esFlags) override;
    BOOL ShutdownBlockReasonCreate(HWND hWnd, const WCHAR* pwszReason) override;
    BOOL ShutdownBlockReasonDestroy(HWND hWnd) override;

    // Collates with the C library's LC_COLLATE; the program's entry sets the locale.
    int CompareStringA(LCID Locale, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                       const char* lpString2, int cchCount2) override;
    int MessageBoxA(HWND hWnd, const char* lpText, const char* lpCaption, UINT uType) override;

    // Claims the drive behind an open device handle for this process alone: the block node is
    // opened once more with O_EXCL and held (other exclusive opens, such as disc burners,
    // pollers that open exclusively and mounts, are refused while it is held), and the generic
    // node, when the commands need it, is opened with O_EXCL (refused while any other program
    // has it open, and refusing every other open while held). Returns 0, or the errno of the
    // refusal: EBUSY when another program has the drive to itself. Claiming again is a no-op.
    int ClaimExclusive(HANDLE device);
    // Gives the claim up; closing the handle gives it up too.
    void ReleaseExclusive(HANDLE device);
    bool HeldExclusive(HANDLE device) const;

    // For tests: handles and heap blocks still open, and whether the sg node of an open device
    // handle was opened (the fallback was taken).
    int OpenHandleCount() const;
    int HeapBlockCount() const;
    bool UsedGenericNode(HANDLE device) const;

  private:
    struct Device;
    struct Event;
    struct HandleEntry;

    std::string Path(const std::string& relative) const;
    std::string SysBlock(int sr) const;  // "<root>/sys/class/block/srN"
    bool IsOptical(int sr) const;
    HANDLE AddHandle(std::shared_ptr<HandleEntry> entry);
    std::shared_ptr<HandleEntry> FindHandle(HANDLE handle) const;
    std::shared_ptr<Device> DeviceOf(HANDLE handle) const;  // null for no device handle

    BOOL ScsiGetAddress(Device& device, void* out, DWORD outSize, DWORD* returned);
    BOOL StorageQuery(Device& device, const void* in, DWORD inSize, void* out, DWORD outSize,
                      DWORD* returned);
    BOOL PassThrough(Device& device, const void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned);
    std::int64_t NowNanos() const;

    const std::string root_;
    Hooks hooks_;
    mutable std::mutex mutex_;
    std::map<std::uintptr_t, std::shared_ptr<HandleEntry>> handles_;
    HandleValues handleValues_{0x100000};
    ProcessHeap heap_;
    bool shutdownPrivilegeEnabled_ = false;
};

}  // namespace quiver
