// The platform seam on the real Win32 API.
#pragma once

#include <functional>

#include "platform/platform.h"

namespace quiver {

class Win32Platform : public Platform {
  public:
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

    // Loads from the program's own folder and the system folder only, never from the current
    // directory, where anybody could have left a library of that name.
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

    HANDLE CreateMutexA(void* lpMutexAttributes, BOOL bInitialOwner, const char* lpName) override;
    EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE esFlags) override;
    BOOL ShutdownBlockReasonCreate(HWND hWnd, const WCHAR* pwszReason) override;
    BOOL ShutdownBlockReasonDestroy(HWND hWnd) override;
    BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) override;

    int CompareStringA(LCID Locale, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                       const char* lpString2, int cchCount2) override;

    int MessageBoxA(HWND hWnd, const char* lpText, const char* lpCaption, UINT uType) override;

    // Answers the message boxes in place of the system, as a run without a person needs; an
    // empty handler gives them back to the system.
    using MessageBoxHandler = std::function<int(const char* text, const char* caption, UINT type)>;
    void SetMessageBoxHandler(MessageBoxHandler handler) { messageBox_ = std::move(handler); }

  private:
    MessageBoxHandler messageBox_;
};

}  // namespace quiver
