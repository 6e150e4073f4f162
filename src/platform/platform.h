// The operating-system services that the system's own logic calls, by role: the clock and
// timer, text comparison, restart and power, and drive enumeration and access.
//
// `Platform` is the Win32-shaped whole, one operation per Win32 call the logic makes, with the
// same arguments and results: the Win32 backend calls the real API and the emulated backend binds
// the calls to an emulated PC. A system that is not Windows installs its own realisation of each
// role instead (ScopedRoles): no Platform then, and the logic takes its native routes (the drives
// through DriveAccess, the restart through PowerControl).
#pragma once

#include "platform/winapi.h"

namespace quiver {

class DriveAccess;

// The clock and timer: a monotonic counter and a sleep.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) = 0;
    virtual BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) = 0;
    virtual void Sleep(DWORD dwMilliseconds) = 0;
    // Gives the rest of the calling thread's time slice to another thread that is ready to run;
    // FALSE when there was none.
    virtual BOOL SwitchToThread() = 0;
};

// Text comparison as the user's locale collates.
class TextCollation {
  public:
    virtual ~TextCollation() = default;
    virtual int CompareStringA(LCID Locale, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                               const char* lpString2, int cchCount2) = 0;
};

// Restart and power of a system that is not Windows (Windows goes through the process token and
// ExitWindowsEx of the Platform).
class PowerControl {
  public:
    enum class Action { Reboot, PowerOff };
    virtual ~PowerControl() = default;
    // Whether this process may restart the machine.
    virtual bool MayRestart() = 0;
    // Carries the action out; false when the system accepted nothing.
    virtual bool Restart(Action action) = 0;
};

class Platform : public Clock, public TextCollation {
  public:
    ~Platform() override = default;

    // Drive strings, types and device access.
    virtual DWORD GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer) = 0;
    virtual UINT GetDriveTypeA(const char* lpRootPathName) = 0;
    virtual HANDLE CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                               void* lpSecurityAttributes, DWORD dwCreationDisposition,
                               DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) = 0;
    virtual BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer,
                                 DWORD nInBufferSize, void* lpOutBuffer, DWORD nOutBufferSize,
                                 DWORD* lpBytesReturned, void* lpOverlapped) = 0;
    virtual BOOL CloseHandle(HANDLE hObject) = 0;
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD dwErrCode) = 0;

    // The process heap.
    virtual HANDLE GetProcessHeap() = 0;
    virtual void* HeapAlloc(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes) = 0;
    virtual BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, void* lpMem) = 0;

    // Libraries (the ASPI manager).
    virtual HMODULE LoadLibraryA(const char* lpLibFileName) = 0;
    virtual FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) = 0;
    virtual BOOL FreeLibrary(HMODULE hLibModule) = 0;

    // Events.
    virtual HANDLE CreateEventA(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                const char* lpName) = 0;
    virtual DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) = 0;

    // System: version, token and privilege, restart.
    virtual BOOL GetVersionExA(OSVERSIONINFOA* lpVersionInformation) = 0;
    virtual HANDLE GetCurrentProcess() = 0;
    virtual BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                  HANDLE* TokenHandle) = 0;
    virtual BOOL LookupPrivilegeValueA(const char* lpSystemName, const char* lpName,
                                       LUID* lpLuid) = 0;
    virtual BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                       TOKEN_PRIVILEGES* NewState, DWORD BufferLength,
                                       TOKEN_PRIVILEGES* PreviousState, DWORD* ReturnLength) = 0;
    virtual BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) = 0;

    // Named mutexes (one updater per machine), the thread's execution state, a window's
    // shutdown block reason and a console control handler (the system kept up, and the process
    // from being ended, while drives are flashed). A system that lacks a call fails it with
    // ERROR_CALL_NOT_IMPLEMENTED (SetThreadExecutionState returns 0).
    virtual HANDLE CreateMutexA(void* lpMutexAttributes, BOOL bInitialOwner,
                                const char* lpName) = 0;
    virtual EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE esFlags) = 0;
    virtual BOOL ShutdownBlockReasonCreate(HWND hWnd, const WCHAR* pwszReason) = 0;
    virtual BOOL ShutdownBlockReasonDestroy(HWND hWnd) = 0;
    // Adds a console control handler to the process's handlers, or removes it (its newest
    // registration). A null handler with Add TRUE makes the process ignore Ctrl+C (not
    // Ctrl+Break); with Add FALSE it takes that back.
    virtual BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) = 0;

    // The plain message box.
    virtual int MessageBoxA(HWND hWnd, const char* lpText, const char* lpCaption, UINT uType) = 0;
};

// The platform of the process. Exactly one is current; it must be installed before the first
// call and outlive every object that uses it.
Platform& Os();
bool HasPlatform();
void SetPlatform(Platform* platform);

// The roles of a system without a Platform. Unset members are not offered.
struct SystemRoles {
    Clock* clock = nullptr;
    TextCollation* collation = nullptr;
    PowerControl* power = nullptr;
    DriveAccess* drives = nullptr;
};

// The current realisation of each role: the installed roles', else the Platform's. The clock and
// the collation abort without either; the native drives and power are null without roles.
Clock& SystemClock();
bool HasSystemClock();
TextCollation& Collation();
PowerControl* NativePower();
DriveAccess* NativeDrives();

// Installs roles for the lifetime of the object and restores the previous ones.
class ScopedRoles {
  public:
    explicit ScopedRoles(const SystemRoles& roles);
    ~ScopedRoles();
    ScopedRoles(const ScopedRoles&) = delete;
    ScopedRoles& operator=(const ScopedRoles&) = delete;

  private:
    SystemRoles previous_;
};

// Installs a platform for the lifetime of the object and restores the previous one.
class ScopedPlatform {
  public:
    explicit ScopedPlatform(Platform& platform);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

  private:
    Platform* previous_;
};

}  // namespace quiver
