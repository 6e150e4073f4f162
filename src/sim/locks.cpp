#include "sim/locks.h"

namespace sim {

namespace {

constexpr std::uint32_t kKnownExecutionFlags =
    kEsSystemRequired | kEsDisplayRequired | kEsAwayModeRequired | kEsContinuous;

}  // namespace

void Locks::Record(const LockEvent& event) {
    // Called with the mutex held, so that the observer sees the changes in their order.
    events_.push_back(event);
    if (observer_) {
        observer_(event);
    }
}

bool Locks::OpenMutex(const std::string& name, bool heldElsewhere) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool existed = mutexes_[name]++ > 0 || heldElsewhere;
    Record({LockEvent::Kind::MutexOpened, name, 0, !existed});
    return existed;
}

void Locks::CloseMutex(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = mutexes_.find(name);
    if (it == mutexes_.end()) {
        return;
    }
    if (--it->second == 0) {
        mutexes_.erase(it);
    }
    Record({LockEvent::Kind::MutexClosed, name, 0, true});
}

bool Locks::MutexOpen(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mutexes_.count(name) != 0;
}

std::uint32_t Locks::SetExecutionState(std::uint64_t thread, std::uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    if ((flags & ~kKnownExecutionFlags) != 0) {
        Record({LockEvent::Kind::ExecutionState, {}, flags, false});
        return 0;
    }
    std::uint32_t& state = executionStates_[thread];
    const std::uint32_t previous = state | kEsContinuous;
    if ((flags & kEsContinuous) != 0) {
        state = flags & ~kEsContinuous;
    }
    Record({LockEvent::Kind::ExecutionState, {}, flags, true});
    return previous;
}

bool Locks::SystemRequired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [thread, state] : executionStates_) {
        if ((state & kEsSystemRequired) != 0) {
            return true;
        }
    }
    return false;
}

void Locks::BlockShutdown(std::uintptr_t window, const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    blockReasons_[window] = reason;
    Record({LockEvent::Kind::ShutdownBlocked, reason, 0, true});
}

bool Locks::UnblockShutdown(std::uintptr_t window) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (blockReasons_.erase(window) == 0) {
        return false;
    }
    Record({LockEvent::Kind::ShutdownUnblocked, {}, 0, true});
    return true;
}

bool Locks::ShutdownBlocked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !blockReasons_.empty();
}

std::string Locks::ShutdownReason() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blockReasons_.empty() ? std::string() : blockReasons_.rbegin()->second;
}

bool Locks::LockVolume(std::size_t drive, std::uintptr_t holder) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, added] = volumeLocks_.emplace(drive, holder);
    const bool granted = added || it->second == holder;
    Record({LockEvent::Kind::VolumeLocked, {}, static_cast<std::uint32_t>(drive), granted});
    return granted;
}

bool Locks::UnlockVolume(std::size_t drive, std::uintptr_t holder) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = volumeLocks_.find(drive);
    if (it == volumeLocks_.end() || it->second != holder) {
        return false;
    }
    volumeLocks_.erase(it);
    Record({LockEvent::Kind::VolumeUnlocked, {}, static_cast<std::uint32_t>(drive), true});
    return true;
}

std::uintptr_t Locks::VolumeHolder(std::size_t drive) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = volumeLocks_.find(drive);
    return it == volumeLocks_.end() ? 0 : it->second;
}

void Locks::ConsoleHandlersChanged(bool added, std::uint32_t handlers) {
    std::lock_guard<std::mutex> lock(mutex_);
    consoleHandlers_ = handlers;
    Record({added ? LockEvent::Kind::ConsoleHandlerAdded : LockEvent::Kind::ConsoleHandlerRemoved,
            {},
            handlers,
            true});
}

std::uint32_t Locks::ConsoleHandlers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return consoleHandlers_;
}

std::vector<LockEvent> Locks::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void Locks::SetObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

}  // namespace sim
