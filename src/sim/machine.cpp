#include "sim/machine.h"

#include <cctype>

namespace sim {

namespace {

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// Handle values step by 4, like the system's, and never reach the low 64 KiB that no valid
// pointer occupies either: an event handle mistaken for memory faults at once.
constexpr std::uintptr_t kEventStep = 4;

}  // namespace

Machine::Machine()
    : aspi_(std::make_unique<AspiManager>(clock, [this](void* event) { SetEvent(event); })) {}

Machine::~Machine() {
    // The manager's thread signals events: it goes before the events and the drives do.
    aspi_.reset();
}

Drive& Machine::AddDrive(DriveConfig config) {
    drives_.push_back(std::make_unique<Drive>(clock, std::move(config)));
    return *drives_.back();
}

Letter& Machine::AddLetter(char letter, LetterType type, int driveIndex) {
    Letter entry;
    entry.letter = Upper(letter);
    entry.type = type;
    entry.drive = driveIndex;
    letters.push_back(entry);
    return letters.back();
}

const Letter* Machine::FindLetter(char letter) const {
    const char wanted = Upper(letter);
    for (const Letter& entry : letters) {
        if (Upper(entry.letter) == wanted) {
            return &entry;
        }
    }
    return nullptr;
}

void Machine::AddAspiDevice(std::size_t adapter, std::uint8_t target, std::uint8_t lun,
                            int driveIndex, std::uint8_t deviceType) {
    auto& adapters = aspi_->config().adapters;
    if (adapters.size() <= adapter) {
        adapters.resize(adapter + 1);
    }
    AspiDevice device;
    device.target = target;
    device.lun = lun;
    device.deviceType = deviceType;
    device.drive =
        driveIndex < 0 ? nullptr : drives_.at(static_cast<std::size_t>(driveIndex)).get();
    adapters[adapter].devices.push_back(device);
}

void* Machine::CreateEvent(bool manualReset, bool initialState) {
    std::lock_guard<std::mutex> lock(mutex_);
    nextEvent_ += kEventStep;
    Event& event = events_[nextEvent_];
    event.manualReset = manualReset;
    event.signalled = initialState;
    event.signalledAt = clock.NowNanos();
    return reinterpret_cast<void*>(nextEvent_);
}

bool Machine::SetEvent(void* event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = events_.find(reinterpret_cast<std::uintptr_t>(event));
        if (it == events_.end()) {
            return false;
        }
        if (!it->second.signalled) {
            it->second.signalled = true;
            it->second.signalledAt = clock.NowNanos();
        }
    }
    cv_.notify_all();
    return true;
}

bool Machine::ResetEvent(void* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = events_.find(reinterpret_cast<std::uintptr_t>(event));
    if (it == events_.end()) {
        return false;
    }
    it->second.signalled = false;
    return true;
}

bool Machine::CloseEvent(void* event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (events_.erase(reinterpret_cast<std::uintptr_t>(event)) == 0) {
            return false;
        }
    }
    // A wait on the event ends (with false) instead of sleeping on.
    cv_.notify_all();
    return true;
}

bool Machine::IsEvent(void* event) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.count(reinterpret_cast<std::uintptr_t>(event)) != 0;
}

bool Machine::WaitEvent(void* event, std::int64_t timeoutNanos) {
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    const auto key = reinterpret_cast<std::uintptr_t>(event);
    const bool limited = timeoutNanos >= 0;
    const std::int64_t deadline = limited ? clock.NowNanos() + timeoutNanos : 0;

    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto it = events_.find(key);
        if (it == events_.end()) {
            return false;
        }
        Event& state = it->second;
        if (state.signalled) {
            if (limited && state.signalledAt > deadline) {
                return false;
            }
            if (!state.manualReset) {
                state.signalled = false;
            }
            return true;
        }
        const std::int64_t now = clock.NowNanos();
        if (limited && now >= deadline) {
            return false;
        }
        const bool virtualTime = clock.mode() == Clock::Mode::Virtual;
        if (virtualTime && limited && aspi_->Busy() == 0) {
            clock.AdvanceTo(deadline);
            return false;
        }
        // Somebody may still signal the event: a running request of the manager, or another
        // thread. Sleep a short real slice and look again.
        std::chrono::nanoseconds slice = milliseconds(2);
        if (!virtualTime && limited) {
            slice = std::min<std::chrono::nanoseconds>(slice, clock.RealFor(deadline - now));
            slice = std::max<std::chrono::nanoseconds>(slice, microseconds(50));
        }
        cv_.wait_for(lock, slice);
    }
}

std::vector<RestartRequest> Machine::Restarts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarts_;
}

void Machine::RecordRestart(const RestartRequest& request) {
    RestartObserver observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        restarts_.push_back(request);
        observer = restartObserver_;
    }
    if (observer) {
        observer(request);
    }
}

void Machine::SetRestartObserver(RestartObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    restartObserver_ = std::move(observer);
}

}  // namespace sim
