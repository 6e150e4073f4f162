// What the program needs to know about the operating system, and the forced restart.
#pragma once

#include "platform/winapi.h"

namespace quiver {

class OSInfo {
  public:
    // Asks the system for its version once. When the query fails, or there is no Win32-shaped
    // platform to ask, the system is taken to be of the NT family: that is every system still in
    // use, and the NT route is the stricter one (the restart asks for its privilege, the drives are
    // reached by pass-through first).
    OSInfo();

    bool IsNTFamily() const { return nt_family_; }

    // Logs off, shuts down or restarts as the ExitWindowsEx flags say, always forced
    // (EWX_FORCE is added). On the NT family the shutdown privilege is enabled first; when it
    // cannot be, nothing is requested. A system with its own restart and power role (no
    // Win32-shaped platform) restarts or powers off through it when it lets this process, and
    // ends no session alone. True when the system accepted the request.
    bool ShutdownSystem(UINT flags) const;
    // A forced restart: ShutdownSystem(EWX_REBOOT).
    bool RestartSystem() const;

  private:
    bool EnableShutdownPrivilege() const;

    bool nt_family_ = true;
};

}  // namespace quiver
