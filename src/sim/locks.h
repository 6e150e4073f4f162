// What programs hold on the emulated OS to keep others away while they work: named mutexes,
// the threads' execution states (the system kept from sleeping), shutdown block reasons of
// windows, volume locks on drives and console control handlers (Ctrl+C kept from ending the
// process). Each change is recorded, in order, and handed to an observer. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// Execution-state flags, as the system has them.
constexpr std::uint32_t kEsSystemRequired = 0x00000001u;
constexpr std::uint32_t kEsDisplayRequired = 0x00000002u;
constexpr std::uint32_t kEsAwayModeRequired = 0x00000040u;
constexpr std::uint32_t kEsContinuous = 0x80000000u;

struct LockEvent {
    enum class Kind : std::uint8_t {
        MutexOpened,            // subject: the name; granted: false when it existed already
        MutexClosed,            // subject: the name
        ExecutionState,         // value: the flags asked for; granted: false when refused
        ShutdownBlocked,        // subject: the reason
        ShutdownUnblocked,      // a window's reason was taken back
        VolumeLocked,           // value: the drive's index; granted: false when refused
        VolumeUnlocked,         // value: the drive's index
        ConsoleHandlerAdded,    // value: the handlers in place after it
        ConsoleHandlerRemoved,  // value: the handlers in place after it
    };
    Kind kind = Kind::MutexOpened;
    std::string subject;
    std::uint32_t value = 0;
    bool granted = true;
};

class Locks {
  public:
    using Observer = std::function<void(const LockEvent&)>;

    // Named mutexes, by their full name ("Global\..." and a plain name are different mutexes).
    // Opening creates the mutex when it is new; returns true when it existed already, also
    // when `heldElsewhere` says another program holds it.
    bool OpenMutex(const std::string& name, bool heldElsewhere = false);
    // One handle on the mutex is closed; the mutex goes with its last handle.
    void CloseMutex(const std::string& name);
    // Whether this machine's programs hold handles on the mutex.
    bool MutexOpen(const std::string& name) const;

    // Sets the execution state of thread `thread` (any number naming it) and returns the
    // thread's previous state, ES_CONTINUOUS included; 0 for flags the system does not know.
    // Flags without ES_CONTINUOUS only reset the idle timer and leave the state as it was.
    std::uint32_t SetExecutionState(std::uint64_t thread, std::uint32_t flags);
    // Some thread keeps the system from sleeping.
    bool SystemRequired() const;

    // A window's shutdown block reason; creating it again replaces the text. Destroying
    // returns false when the window has none.
    void BlockShutdown(std::uintptr_t window, const std::string& reason);
    bool UnblockShutdown(std::uintptr_t window);
    bool ShutdownBlocked() const;
    std::string ShutdownReason() const;  // the last reason still in place; empty when none

    // Volume locks by drive index, held by a handle value. Locking fails while another handle
    // holds the drive's lock; locking again through the holder succeeds. Unlocking fails when
    // `holder` holds no lock on the drive.
    bool LockVolume(std::size_t drive, std::uintptr_t holder);
    bool UnlockVolume(std::size_t drive, std::uintptr_t holder);
    // The handle holding the drive's lock; 0 when the drive is not locked.
    std::uintptr_t VolumeHolder(std::size_t drive) const;

    // A console control handler was added to the process (`added`) or removed from it, leaving
    // `handlers` in place; the handlers themselves are the process's (the platform keeps them).
    void ConsoleHandlersChanged(bool added, std::uint32_t handlers);
    std::uint32_t ConsoleHandlers() const;

    std::vector<LockEvent> Events() const;
    // Called on the thread that made the change, after it took effect.
    void SetObserver(Observer observer);

  private:
    void Record(const LockEvent& event);

    mutable std::mutex mutex_;
    std::map<std::string, int> mutexes_;  // name -> open handles
    std::map<std::uint64_t, std::uint32_t> executionStates_;
    std::map<std::uintptr_t, std::string> blockReasons_;
    std::map<std::size_t, std::uintptr_t> volumeLocks_;
    std::uint32_t consoleHandlers_ = 0;
    std::vector<LockEvent> events_;
    Observer observer_;
};

}  // namespace sim
