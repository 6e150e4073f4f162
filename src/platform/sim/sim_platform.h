// The platform bound to an emulated PC: every OS call acts on a sim::Machine and answers the
// way Windows does (results, last-error codes, buffer rules). Thread-safe; the last error is
// kept per thread. Handles are made-up values that are never valid pointers.
//
// The ASPI manager's entry points that GetProcAddress hands out are plain functions; they reach
// the manager of the SimPlatform that loaded WNASPI32 last and still holds it loaded.
#pragma once

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
#include "sim/machine.h"

namespace quiver {

struct RecordedMessageBox {
    std::string text;
    std::string caption;
    UINT type = 0;
};

class SimPlatform : public Platform {
  public:
    // The machine must outlive the platform.
    explicit SimPlatform(sim::Machine& machine);
    ~SimPlatform() override;

    sim::Machine& machine() { return machine_; }

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

    // What the emulated OS saw, for tests.
    std::vector<RecordedMessageBox> MessageBoxes() const;
    int OpenHandleCount() const;    // device, event, token and mutex handles not yet closed
    int LibraryLoadCount() const;   // WNASPI32 loads not yet released
    int TotalLibraryLoads() const;  // WNASPI32 loads ever
    bool ShutdownPrivilegeEnabled() const;
    int HeapBlockCount() const;  // heap blocks not yet freed
    // The answer a MB_YESNO box gives (IDYES unless set).
    void SetYesNoAnswer(int answer);
    // Shows each message box to `handler` as it is made, on the thread that made it, and
    // gives the program the handler's answer instead. An empty function removes it; it must not
    // be changed while boxes are shown.
    using MessageBoxHandler = std::function<int(const RecordedMessageBox&)>;
    void SetMessageBoxHandler(MessageBoxHandler handler);

    // A key pressed in the process's console (CTRL_C_EVENT, CTRL_BREAK_EVENT) or the console
    // closed, the user logged off or the system shut down: the event goes to the console
    // control handlers, newest first, on a thread of its own as the system makes one, until
    // one of them handles it. False: none did, and the system would end the process now (after
    // the close, log-off and shutdown events it does so even when one did).
    bool DeliverConsoleEvent(DWORD event);

  private:
    struct HandleEntry;
    HANDLE AddHandle(std::unique_ptr<HandleEntry> entry);
    BOOL ScsiGetAddress(const HandleEntry& device, void* out, DWORD outSize, DWORD* returned);
    BOOL StorageQuery(const HandleEntry& device, const void* in, DWORD inSize, void* out,
                      DWORD outSize, DWORD* returned);
    BOOL PassThrough(const HandleEntry& device, const void* in, DWORD inSize, void* out,
                     DWORD outSize, DWORD* returned);

    sim::Machine& machine_;
    mutable std::mutex mutex_;
    std::map<std::uintptr_t, std::unique_ptr<HandleEntry>> handles_;
    // Device and token handles stay below 0x8000; event handles are the machine's, above.
    HandleValues handleValues_{0x8000};
    std::vector<RecordedMessageBox> boxes_;
    int yesNoAnswer_ = IDYES;
    MessageBoxHandler messageBoxHandler_;
    ProcessHeap heap_;
    int libraryLoads_ = 0;
    int totalLibraryLoads_ = 0;
    bool shutdownPrivilegeEnabled_ = false;
    std::vector<PHANDLER_ROUTINE> consoleHandlers_;  // oldest first
    bool ignoreCtrlC_ = false;
};

}  // namespace quiver
