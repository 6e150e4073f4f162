// The flash guards on Linux, natively:
// - the machine: an exclusive flock(2) on the lock file "quiver-firmware-update.lock" in the
//   first directory that can hold it (by default the system's /run/lock, then the user's
//   $XDG_RUNTIME_DIR). The file is opened without following links, read-only (a lock file that
//   another account made serves as well) and made readable by every account when new; a lock
//   that another process holds is Busy. The lock goes with the process, however it ends.
// - the system: a login manager inhibitor lock "shutdown:sleep" in block mode, asked for over
//   D-Bus (org.freedesktop.login1.Manager.Inhibit) and held as the file descriptor it answers
//   with; closing it gives it back. Without a login manager the program goes on without. With
//   the system, the program's own termination requests are held off (TerminationRequests),
//   where the settings name them.
// - a drive: the open drive claimed with O_EXCL (OpenDrive::ClaimExclusive of LinuxDrives);
//   EBUSY (another program has it to itself, or a disc in it is mounted) all through a few
//   tries is Busy.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/flash_guards.h"

namespace quiver {

class TerminationRequests;

class LinuxFlashGuards : public FlashGuards {
  public:
    static constexpr const char* kLockFileName = "quiver-firmware-update.lock";

    struct Settings {
        // Where the lock file may live, tried in order; empty entries are passed over.
        std::vector<std::string> lockDirectories;
        // The D-Bus address of the bus with the login manager; empty: the system bus.
        std::string busAddress;
        // How long the login manager may take to answer.
        int busTimeoutMilliseconds = 5000;
        // How often a busy drive is tried, and the pause between tries: a program that polls the
        // drive holds it exclusively for a moment only.
        int claimAttempts = 5;
        int claimPauseMilliseconds = 100;
        // The requests to end the program, held off while the system is; none: not held.
        TerminationRequests* termination = nullptr;
    };

    // /run/lock, then $XDG_RUNTIME_DIR; the system bus.
    static Settings SystemSettings();

    explicit LinuxFlashGuards(Settings settings = SystemSettings());

    Guarded ClaimMachine() override;
    // `window` is not used; `title` names the program to the login manager ("who").
    Guarded HoldSystem(void* window, const std::string& title) override;
    // Unavailable: Linux drives are opened through LinuxDrives, and claimed by ClaimOpenDrive.
    Guarded ClaimDrive(HANDLE device) override;
    Guarded ClaimOpenDrive(OpenDrive& drive) override;

  private:
    // The login manager's inhibitor; null without one.
    std::unique_ptr<FlashGuard> Inhibit(const std::string& title) const;

    Settings settings_;
};

}  // namespace quiver
