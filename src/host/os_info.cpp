#include "host/os_info.h"

#include "platform/platform.h"

namespace quiver {

OSInfo::OSInfo() {
    // A system without the Win32-shaped platform counts as the NT family, the stricter route.
    if (!HasPlatform()) {
        return;
    }
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (Os().GetVersionExA(&info)) {
        nt_family_ = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
    }
}

bool OSInfo::EnableShutdownPrivilege() const {
    HANDLE token = nullptr;
    if (!Os().OpenProcessToken(Os().GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               &token)) {
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = false;
    if (Os().LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
        // The adjustment succeeds even when the token lacks the privilege; only the last error
        // (ERROR_NOT_ALL_ASSIGNED) tells. Read it before anything else can change it.
        Os().SetLastError(ERROR_SUCCESS);
        const BOOL adjusted =
            Os().AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        enabled = adjusted && Os().GetLastError() == ERROR_SUCCESS;
    }
    Os().CloseHandle(token);
    return enabled;
}

bool OSInfo::ShutdownSystem(UINT flags) const {
    if (PowerControl* power = NativePower()) {
        // A system of its own restarts or powers off as it allows this process to; ending a
        // session alone is not asked of it.
        if ((flags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) == 0 || !power->MayRestart()) {
            return false;
        }
        return power->Restart((flags & EWX_REBOOT) != 0 ? PowerControl::Action::Reboot
                                                        : PowerControl::Action::PowerOff);
    }
    if (!HasPlatform()) {
        return false;  // a system with neither can restart nothing
    }
    if (nt_family_ && !EnableShutdownPrivilege()) {
        return false;
    }
    return Os().ExitWindowsEx(flags | EWX_FORCE, 0) != FALSE;
}

bool OSInfo::RestartSystem() const {
    return ShutdownSystem(EWX_REBOOT);
}

}  // namespace quiver
