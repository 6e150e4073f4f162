// The Linux platform's system services: the version, the process token and its privileges, the
// restart through the login manager or reboot(2), named mutexes, the execution state, text
// comparison and the plain message box.
#include <fcntl.h>
#include <spawn.h>
#include <sys/reboot.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/collation.h"
#include "platform/linux/linux_platform_detail.h"

extern char** environ;

namespace quiver {

namespace {

constexpr unsigned kCapSysBoot = 22;

bool RunQuiet(const std::vector<std::string>& args, std::string* output) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return false;
    }
    char chunk[256];
    ssize_t got = 0;
    while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0 && output != nullptr) {
            output->append(chunk, static_cast<std::size_t>(got));
        }
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const char* kLogin1[] = {"busctl",
                         "--system",
                         "call",
                         "org.freedesktop.login1",
                         "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager"};

bool HasCapSysBoot() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
            return ((caps >> kCapSysBoot) & 1u) != 0;
        }
    }
    return false;
}

}  // namespace

namespace linux_detail {

bool RealMayRestart() {
    if (HasCapSysBoot()) {
        return true;
    }
    std::vector<std::string> args(std::begin(kLogin1), std::end(kLogin1));
    args.push_back("CanReboot");
    std::string answer;
    if (!RunQuiet(args, &answer)) {
        return false;
    }
    // busctl prints: s "yes"
    return answer.find("\"yes\"") != std::string::npos ||
           answer.find("\"challenge\"") != std::string::npos;
}

bool RealRestart(LinuxPlatform::RestartKind kind) {
    sync();
    std::vector<std::string> args(std::begin(kLogin1), std::end(kLogin1));
    args.push_back(kind == LinuxPlatform::RestartKind::Reboot ? "Reboot" : "PowerOff");
    args.push_back("b");
    args.push_back("false");
    if (RunQuiet(args, nullptr)) {
        return true;
    }
    return reboot(kind == LinuxPlatform::RestartKind::Reboot ? RB_AUTOBOOT : RB_POWER_OFF) == 0;
}

void StderrReport(const std::string& text) {
    std::fprintf(stderr, "quiver: %s\n", text.c_str());
}

int StderrMessageBox(const char* text, const char* caption, UINT type) {
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "",
                 text != nullptr ? text : "");
    return (type & 0x0F) == MB_YESNO ? IDNO : IDOK;
}

}  // namespace linux_detail

// --- System -----------------------------------------------------------------------------------

BOOL LinuxPlatform::GetVersionExA(OSVERSIONINFOA* lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The NT family: SCSI pass-through is available. The kernel's release stands in the
    // service-pack text.
    OSVERSIONINFOA& info = *lpVersionInformation;
    std::memset(info.szCSDVersion, 0, sizeof info.szCSDVersion);
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    info.dwBuildNumber = 2600;
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    utsname name{};
    if (uname(&name) == 0) {
        const std::string text = std::string(name.sysname) + " " + name.release;
        std::memcpy(info.szCSDVersion, text.data(),
                    std::min(text.size(), sizeof info.szCSDVersion - 1));
    }
    return TRUE;
}

HANDLE LinuxPlatform::GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL LinuxPlatform::OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                     HANDLE* TokenHandle) {
    if (ProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto entry = std::make_shared<HandleEntry>();
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

BOOL LinuxPlatform::LookupPrivilegeValueA(const char*, const char* lpName, LUID* lpLuid) {
    if (const DWORD error = LookupShutdownPrivilege(lpName, lpLuid); error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL LinuxPlatform::AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                          TOKEN_PRIVILEGES* NewState, DWORD BufferLength,
                                          TOKEN_PRIVILEGES* PreviousState, DWORD* ReturnLength) {
    const std::shared_ptr<HandleEntry> token = FindHandle(TokenHandle);
    if (token == nullptr || token->kind != HandleEntry::Kind::Token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool before = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = shutdownPrivilegeEnabled_;
    }
    // The shutdown privilege can be enabled when this process may restart the machine.
    const PrivilegeAdjustment adjusted = AdjustShutdownPrivilege(
        token->access, before, DisableAllPrivileges, NewState, BufferLength, PreviousState,
        ReturnLength, [this](bool enable) { return !enable || hooks_.mayRestart(); });
    if (adjusted.error != ERROR_SUCCESS && adjusted.error != ERROR_NOT_ALL_ASSIGNED) {
        SetLastError(adjusted.error);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdownPrivilegeEnabled_ = adjusted.enabled;
    }
    SetLastError(adjusted.error);
    return TRUE;
}

BOOL LinuxPlatform::ExitWindowsEx(UINT uFlags, DWORD) {
    if ((uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // ending the session is not ours to do
        return FALSE;
    }
    bool privileged = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        privileged = shutdownPrivilegeEnabled_;
    }
    if (!privileged) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    const RestartKind kind =
        (uFlags & EWX_REBOOT) != 0 ? RestartKind::Reboot : RestartKind::PowerOff;
    if (!hooks_.restart(kind)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

// --- Named mutexes, execution state, shutdown block reasons ----------------------------------

HANDLE LinuxPlatform::CreateMutexA(void*, BOOL, const char*) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

EXECUTION_STATE LinuxPlatform::SetThreadExecutionState(EXECUTION_STATE) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

BOOL LinuxPlatform::ShutdownBlockReasonCreate(HWND, const WCHAR*) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL LinuxPlatform::ShutdownBlockReasonDestroy(HWND) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

// --- Text and message boxes -------------------------------------------------------------------

int LinuxPlatform::CompareStringA(LCID, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                                  const char* lpString2, int cchCount2) {
    DWORD error = ERROR_SUCCESS;
    const int result =
        CollateStrings(dwCmpFlags, lpString1, cchCount1, lpString2, cchCount2, &error);
    if (result == 0) {
        SetLastError(error);
    }
    return result;
}

int LinuxPlatform::MessageBoxA(HWND, const char* lpText, const char* lpCaption, UINT uType) {
    return hooks_.messageBox(lpText, lpCaption, uType);
}

}  // namespace quiver
