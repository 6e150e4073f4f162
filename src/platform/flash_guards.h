// What keeps other programs and the system itself away from the drives while they are flashed:
// one updater at a time on a machine, each drive to its worker alone, and the system kept
// awake with its shutdown held off. A realisation is written once for each kind of system:
// WindowsFlashGuards on the Windows calls of the platform seam (Windows itself, and the
// emulated PC, which records every call), LinuxFlashGuards natively (platform/linux).
//
// Everything here is used on the window thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/winapi.h"

namespace quiver {

class OpenDrive;

// Something a guard took; destroying it gives it back.
class FlashGuard {
  public:
    virtual ~FlashGuard() = default;
};

enum class GuardResult {
    Taken,        // held by the guard that comes with it
    Busy,         // another program has it: the caller must not go on
    Unavailable,  // this system cannot give it: the caller goes on without
};

struct Guarded {
    GuardResult result = GuardResult::Unavailable;
    std::unique_ptr<FlashGuard> guard;  // set when Taken
};

class FlashGuards {
  public:
    virtual ~FlashGuards() = default;

    // The machine's updater lock, held by the guard until the program ends. Busy: another
    // updater runs on this machine.
    virtual Guarded ClaimMachine() = 0;

    // Keeps the system from sleeping and holds its shutdown off for as long as the guard lives.
    // `window`: the main window's system handle (null where it has none); `title`: the name the
    // system shows the user for the program. Never Busy: what the system refuses is done
    // without; Unavailable when nothing at all could be held.
    virtual Guarded HoldSystem(void* window, const std::string& title) = 0;

    // The drive behind the open device handle `device` to this updater alone, for as long as the
    // guard lives. Null: the drive's route has no handle (the ASPI manager), Unavailable. Busy:
    // another program has the drive to itself, and the drive must not be flashed now.
    virtual Guarded ClaimDrive(HANDLE device) = 0;
    // The same for a drive opened through the system's own drive access (platform/
    // drive_access.h). Unavailable where the guards have no such drives.
    virtual Guarded ClaimOpenDrive(OpenDrive& /*drive*/) { return {}; }
};

// Why the system is held up, as the system shows it to a user who wants to shut it down.
inline constexpr char kFlashingReason[] =
    "Drive firmware is being written. Turning the computer off now can leave the drive unusable.";

// What a request to end the updater (Ctrl+C in its console, a termination signal) is answered
// with while drives are being flashed: such a request is refused, not kept for later.
inline constexpr char kEndingRefused[] =
    "Drive firmware is being written: the updater does not stop now, since that can leave the "
    "drive unusable. It can be closed when the update has ended.";

// On the Windows calls of the current platform:
// - the machine: the named mutex "Global\QuiverFirmwareUpdate" (every session of the machine),
//   or "QuiverFirmwareUpdate" on a system without the global namespace; it existing already, or
//   being refused to this account (ERROR_ACCESS_DENIED), is Busy;
// - the system: SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) on the calling
//   thread, ShutdownBlockReasonCreate on the window and a console control handler, all given
//   back (ES_CONTINUOUS alone, ShutdownBlockReasonDestroy, the handler removed) by the guard on
//   the same thread. The handler answers Ctrl+C and Ctrl+Break in the console the program runs
//   in with kEndingRefused on standard error, and the process goes on; the console closing, a
//   log-off and a shutdown it leaves to the system, which ends the process after its handlers
//   whatever they answer. Taken when any of the three was;
// - a drive: the volume lock (FSCTL_LOCK_VOLUME) on the drive's own handle, given back with
//   FSCTL_UNLOCK_VOLUME. A lock the system refuses is Unavailable, never Busy: the system locks
//   only a mounted disc's volume with no file open on it, and the route works as well without.
class WindowsFlashGuards : public FlashGuards {
  public:
    static constexpr const char* kMutexName = "Global\\QuiverFirmwareUpdate";
    static constexpr const char* kLocalMutexName = "QuiverFirmwareUpdate";

    Guarded ClaimMachine() override;
    Guarded HoldSystem(void* window, const std::string& title) override;
    Guarded ClaimDrive(HANDLE device) override;
};

}  // namespace quiver
