// The emulated PC: its clock, its operating system (version, drive letters, token and
// privilege, restart), its optical drives and its ASPI manager.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/aspi.h"
#include "sim/clock.h"
#include "sim/drive.h"
#include "sim/locks.h"

namespace sim {

struct OsConfig {
    bool ntFamily = true;                 // NT family, or the Windows 95 line
    bool versionQueryFails = false;       // GetVersionExA fails
    bool tokenOpenFails = false;          // OpenProcessToken fails
    bool lacksShutdownPrivilege = false;  // the account does not hold SeShutdownPrivilege
    bool restartRefused = false;          // ExitWindowsEx fails
    bool heapFails = false;               // the process heap gives nothing
    std::size_t heapBytes = 0;            // the heap holds at most this much at once; 0: no limit
    bool hasPerformanceCounter = true;    // QueryPerformanceFrequency succeeds
    bool eventCreateFails = false;        // CreateEventA gives no event
    // Every new event is already signalled, as when a late signal meant for an earlier event
    // reaches a new one that was given the same handle value.
    bool staleEventSignals = false;
    // Named mutexes that other programs hold for as long as the machine runs: opening one
    // finds it existing.
    std::vector<std::string> heldMutexes;
};

enum class LetterType : std::uint32_t {
    Removable = 2,
    Fixed = 3,
    Network = 4,
    CdRom = 5,
};

// What the address request (IOCTL_SCSI_GET_ADDRESS) on a letter's device does.
enum class AddressReply : std::uint8_t {
    Address,     // succeeds with the letter's address
    Fails,       // the request fails
    ZeroLength,  // succeeds with a Length of 0
};

struct Letter {
    char letter = 'C';
    LetterType type = LetterType::Fixed;
    int drive = -1;  // index into Machine::drives, for CD-ROM letters
    AddressReply addressReply = AddressReply::Address;
    std::uint8_t port = 0, path = 0, target = 0, lun = 0;
    bool openFails = false;  // the device path cannot be opened

    std::string Root() const { return std::string(1, letter) + ":\\"; }
};

struct RestartRequest {
    std::uint32_t flags = 0;
    std::uint32_t reason = 0;
    bool accepted = false;
};

class Machine {
  public:
    Machine();
    ~Machine();

    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Clock clock;
    OsConfig os;
    std::vector<Letter> letters;

    // Drives are owned by the machine; letters and ASPI devices refer to them.
    Drive& AddDrive(DriveConfig config);
    Drive& drive(std::size_t index) { return *drives_.at(index); }
    std::size_t DriveCount() const { return drives_.size(); }

    // Adds a letter; for a CD-ROM letter `driveIndex` names its drive. The reference is valid
    // until the next letter is added. Letters, drives and the ASPI configuration are set up
    // before the machine is used from several threads.
    Letter& AddLetter(char letter, LetterType type, int driveIndex = -1);
    // The letter, in either case; null when the machine has none.
    const Letter* FindLetter(char letter) const;

    AspiManager& aspi() { return *aspi_; }
    // Puts drive `driveIndex` (-1: none, a device that only answers the type query) on the
    // ASPI manager at adapter, target and LUN; adds adapters up to `adapter` as needed.
    void AddAspiDevice(std::size_t adapter, std::uint8_t target, std::uint8_t lun, int driveIndex,
                       std::uint8_t deviceType = 5);

    // Events of the emulated OS (manual or automatic reset), named by handle value. The values
    // lie above 0x7E000, step by 4 and are never reused, so a late signal for a closed event
    // cannot reach a newer one.
    void* CreateEvent(bool manualReset, bool initialState);
    bool SetEvent(void* event);
    bool ResetEvent(void* event);
    bool CloseEvent(void* event);
    bool IsEvent(void* event) const;
    // Waits for the event at most `timeoutNanos` of emulated time (-1: without limit).
    // Returns true when it was signalled by the deadline; an automatic-reset event is reset by
    // the wait that sees it. An event signalled only after the deadline (a command that took
    // longer than the wait) ends the wait with false and stays signalled. In virtual mode a
    // wait that nothing can end any more (the ASPI manager has no running request that is not
    // held) moves the clock to the deadline at once; otherwise the wait sleeps in short real
    // slices, re-checking the emulated deadline.
    bool WaitEvent(void* event, std::int64_t timeoutNanos);

    // Named mutexes, execution states, shutdown block reasons and volume locks.
    Locks& locks() { return locks_; }
    const Locks& locks() const { return locks_; }

    // Restart requests, recorded and never carried out.
    std::vector<RestartRequest> Restarts() const;
    void RecordRestart(const RestartRequest& request);
    // Called with each restart request once it is recorded, on the thread that made it. An
    // empty function removes the observer; it must not be changed while requests are made.
    using RestartObserver = std::function<void(const RestartRequest&)>;
    void SetRestartObserver(RestartObserver observer);

  private:
    struct Event {
        bool manualReset = true;
        bool signalled = false;
        std::int64_t signalledAt = 0;  // emulated time of the last SetEvent
    };

    std::vector<std::unique_ptr<Drive>> drives_;
    std::unique_ptr<AspiManager> aspi_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::uintptr_t, Event> events_;
    std::uintptr_t nextEvent_ = 0x7E000;
    std::vector<RestartRequest> restarts_;
    RestartObserver restartObserver_;
    Locks locks_;
};

}  // namespace sim
