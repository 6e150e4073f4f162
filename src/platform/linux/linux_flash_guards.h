// The flash guards on Linux, natively:
// - the machine: an exclusive flock(2) on the lock file "quiver-firmware-update.lock" in the
//   first directory that can hold it (by default the system's /run/lock, then the user's
//   $XDG_RUNTIME_DIR). The file is opened without following links, read-only (a lock file that
//   another account made serves as well) and made readable by every account when new; a lock
//   that another process holds is Busy. The lock goes with the process, however it ends.
// - the system: a login manager inhibitor lock "shutdown:sleep" in block mode, asked for over
//   D-Bus (org.freedesktop.login1.Manager.Inhibit) and held as the file descriptor it answers
//   with; closing it gives it back. Without a login manager the program goes on without.
// - a drive: the open drive claimed with O_EXCL (OpenDrive::ClaimExclusive of LinuxDrives);
//   EBUSY (another program has it to itself, or a disc in it is mounted) all through a few
//   tries is Busy.
#pragma once

#include <string>
#include <vector>

#include "platform/flash_guards.h"

namespace quiver {

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
    Settings settings_;
};

}  // namespace quiver
