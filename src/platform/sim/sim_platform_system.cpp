// The emulated PC's system services: the version, the process token and its privileges, the
// restart, named mutexes, the execution state, shutdown block reasons, console control
// handlers, text comparison and the plain message box.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

#include "platform/collation.h"
#include "platform/sim/sim_platform_detail.h"

namespace quiver {

// --- System -----------------------------------------------------------------------------------

BOOL SimPlatform::GetVersionExA(OSVERSIONINFOA* lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (machine_.os.versionQueryFails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    OSVERSIONINFOA& info = *lpVersionInformation;
    std::memset(info.szCSDVersion, 0, sizeof info.szCSDVersion);
    if (machine_.os.ntFamily) {
        info.dwMajorVersion = 5;
        info.dwMinorVersion = 1;
        info.dwBuildNumber = 2600;
        info.dwPlatformId = VER_PLATFORM_WIN32_NT;
        std::strcpy(info.szCSDVersion, "Service Pack 3");
    } else {
        // The 95 line keeps major and minor version in the high word of the build number.
        info.dwMajorVersion = 4;
        info.dwMinorVersion = 10;
        info.dwBuildNumber = (4u << 24) | (10u << 16) | 2222u;
        info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
        std::strcpy(info.szCSDVersion, " A");
    }
    return TRUE;
}

HANDLE SimPlatform::GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL SimPlatform::OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (ProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (machine_.os.tokenOpenFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto entry = std::make_unique<HandleEntry>();
    entry->kind = HandleEntry::Kind::Token;
    entry->access = DesiredAccess;
    HANDLE handle = AddHandle(std::move(entry));
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *TokenHandle = handle;
    return TRUE;
}

BOOL SimPlatform::LookupPrivilegeValueA(const char*, const char* lpName, LUID* lpLuid) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (const DWORD error = LookupShutdownPrivilege(lpName, lpLuid); error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL SimPlatform::AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                        TOKEN_PRIVILEGES* NewState, DWORD BufferLength,
                                        TOKEN_PRIVILEGES* PreviousState, DWORD* ReturnLength) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(TokenHandle));
    if (it == handles_.end() || it->second->kind != HandleEntry::Kind::Token) {
        SimPlatform::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool held = !machine_.os.lacksShutdownPrivilege;
    const PrivilegeAdjustment adjusted = AdjustShutdownPrivilege(
        it->second->access, shutdownPrivilegeEnabled_, DisableAllPrivileges, NewState, BufferLength,
        PreviousState, ReturnLength, [held](bool) { return held; });
    SimPlatform::SetLastError(adjusted.error);
    if (adjusted.error != ERROR_SUCCESS && adjusted.error != ERROR_NOT_ALL_ASSIGNED) {
        return FALSE;
    }
    shutdownPrivilegeEnabled_ = adjusted.enabled;
    return TRUE;
}

BOOL SimPlatform::ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    sim::RestartRequest request;
    request.flags = uFlags;
    request.reason = dwReason;
    // Logging off needs no privilege; shutting down and restarting do on the NT family.
    const bool logoff = (uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) == 0;
    bool privileged = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        privileged = shutdownPrivilegeEnabled_;
    }
    DWORD error = ERROR_SUCCESS;
    if (machine_.os.ntFamily && !logoff && !privileged) {
        error = ERROR_PRIVILEGE_NOT_HELD;
    } else if (machine_.os.restartRefused) {
        error = ERROR_SHUTDOWN_IN_PROGRESS;
    }
    request.accepted = error == ERROR_SUCCESS;
    machine_.RecordRestart(request);
    if (!request.accepted) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// --- Named mutexes, execution state, shutdown block reasons ----------------------------------

HANDLE SimPlatform::CreateMutexA(void*, BOOL, const char* lpName) {
    const std::string name = lpName != nullptr ? lpName : "";
    if (!machine_.os.ntFamily && name.find('\\') != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);  // no object namespaces before the NT family
        return nullptr;
    }
    bool existed = false;
    if (!name.empty()) {
        const auto& held = machine_.os.heldMutexes;
        existed = machine_.locks().OpenMutex(
            name, std::find(held.begin(), held.end(), name) != held.end());
    }
    auto entry = std::make_unique<HandleEntry>();
    entry->kind = HandleEntry::Kind::Mutex;
    entry->name = name;
    HANDLE handle = AddHandle(std::move(entry));
    if (handle == nullptr) {
        if (!name.empty()) {
            machine_.locks().CloseMutex(name);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

EXECUTION_STATE SimPlatform::SetThreadExecutionState(EXECUTION_STATE esFlags) {
    const auto thread =
        static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    const EXECUTION_STATE previous = machine_.locks().SetExecutionState(thread, esFlags);
    if (previous == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return previous;
}

BOOL SimPlatform::ShutdownBlockReasonCreate(HWND hWnd, const WCHAR* pwszReason) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (hWnd == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (pwszReason == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string reason;
    for (const WCHAR* c = pwszReason; *c != 0; ++c) {
        reason.push_back(*c >= 0x20 && *c < 0x7F ? static_cast<char>(*c) : '?');
    }
    machine_.locks().BlockShutdown(reinterpret_cast<std::uintptr_t>(hWnd), reason);
    return TRUE;
}

BOOL SimPlatform::ShutdownBlockReasonDestroy(HWND hWnd) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (!machine_.locks().UnblockShutdown(reinterpret_cast<std::uintptr_t>(hWnd))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// --- Console control handlers -----------------------------------------------------------------

BOOL SimPlatform::SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    if (HandlerRoutine == nullptr) {
        std::lock_guard<std::mutex> lock(mutex_);
        ignoreCtrlC_ = Add != FALSE;
        return TRUE;
    }
    std::size_t handlers = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Add != FALSE) {
            consoleHandlers_.push_back(HandlerRoutine);
        } else {
            const auto newest =
                std::find(consoleHandlers_.rbegin(), consoleHandlers_.rend(), HandlerRoutine);
            if (newest == consoleHandlers_.rend()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            consoleHandlers_.erase(std::next(newest).base());
        }
        handlers = consoleHandlers_.size();
    }
    machine_.locks().ConsoleHandlersChanged(Add != FALSE, static_cast<std::uint32_t>(handlers));
    return TRUE;
}

bool SimPlatform::DeliverConsoleEvent(DWORD event) {
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (event == CTRL_C_EVENT && ignoreCtrlC_) {
            return true;  // the system does not signal the process at all
        }
        handlers.assign(consoleHandlers_.rbegin(), consoleHandlers_.rend());
    }
    bool handled = false;
    std::thread signalled([&] {
        for (PHANDLER_ROUTINE handler : handlers) {
            if (handler(event) != FALSE) {
                handled = true;
                return;
            }
        }
    });
    signalled.join();
    return handled;
}

// --- Text and message boxes -------------------------------------------------------------------

int SimPlatform::CompareStringA(LCID, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                                const char* lpString2, int cchCount2) {
    DWORD error = ERROR_SUCCESS;
    const int result =
        CollateStrings(dwCmpFlags, lpString1, cchCount1, lpString2, cchCount2, &error);
    if (result == 0) {
        SetLastError(error);
    }
    return result;
}

int SimPlatform::MessageBoxA(HWND, const char* lpText, const char* lpCaption, UINT uType) {
    const RecordedMessageBox box{lpText != nullptr ? lpText : "",
                                 lpCaption != nullptr ? lpCaption : "", uType};
    MessageBoxHandler handler;
    int answer = IDOK;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.push_back(box);
        handler = messageBoxHandler_;
        if ((uType & 0x0F) == MB_YESNO) {
            answer = yesNoAnswer_;
        }
    }
    return handler ? handler(box) : answer;
}

}  // namespace quiver
