// The platform seam on the emulated PC: the handle table, the last error, the process heap, the
// ASPI manager's library, events and time on the machine's clock, and what the emulated system
// saw.
#include "platform/sim/sim_platform.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/sim/sim_platform_detail.h"

namespace quiver {

namespace {

constexpr std::uintptr_t kAspiModule = 0x0E00;

thread_local DWORD t_lastError = ERROR_SUCCESS;

// The SimPlatform whose WNASPI32 the entry points below serve.
std::atomic<SimPlatform*> g_aspiOwner{nullptr};

DWORD AspiSupportInfoEntry() {
    SimPlatform* owner = g_aspiOwner.load(std::memory_order_acquire);
    if (owner == nullptr) {
        return static_cast<DWORD>(SS_NO_ASPI) << 8;
    }
    return owner->machine().aspi().GetSupportInfo();
}

DWORD AspiSendCommandEntry(void* srb) {
    SimPlatform* owner = g_aspiOwner.load(std::memory_order_acquire);
    if (owner == nullptr) {
        return SS_NO_ASPI;
    }
    return owner->machine().aspi().SendCommand(srb);
}

bool EqualNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

}  // namespace

SimPlatform::SimPlatform(sim::Machine& machine) : machine_(machine) {}

SimPlatform::~SimPlatform() {
    SimPlatform* self = this;
    g_aspiOwner.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    // A request the manager still carries out may write into heap blocks that a drive object
    // left behind: the heap goes only once the manager has nothing left to run.
    while (machine_.aspi().Busy() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& [value, entry] : handles_) {
        if (entry->kind == HandleEntry::Kind::Event) {
            machine_.CloseEvent(entry->event);
        }
    }
}

HANDLE SimPlatform::AddHandle(std::unique_ptr<HandleEntry> entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uintptr_t value = handleValues_.Next(handles_);
    if (value == 0) {
        return nullptr;
    }
    handles_[value] = std::move(entry);
    return reinterpret_cast<HANDLE>(value);
}

DWORD SimPlatform::GetLastError() {
    return t_lastError;
}

void SimPlatform::SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// --- The process heap ---------------------------------------------------------------------

HANDLE SimPlatform::GetProcessHeap() {
    if (machine_.os.heapFails) {
        return nullptr;
    }
    return ProcessHeap::Handle();
}

void* SimPlatform::HeapAlloc(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes) {
    if (machine_.os.heapFails) {
        return nullptr;
    }
    // Fresh memory is not zero on the real heap either: make reliance on it show.
    const std::size_t limit = machine_.os.heapBytes != 0 ? machine_.os.heapBytes : SIZE_MAX;
    return heap_.Alloc(hHeap, dwFlags, dwBytes, 0xCD, limit);
}

BOOL SimPlatform::HeapFree(HANDLE hHeap, DWORD, void* lpMem) {
    const DWORD error = heap_.Free(hHeap, lpMem);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// --- Libraries ------------------------------------------------------------------------------

HMODULE SimPlatform::LoadLibraryA(const char* lpLibFileName) {
    const bool aspi = lpLibFileName != nullptr && (EqualNoCase(lpLibFileName, kAspiLibraryName) ||
                                                   EqualNoCase(lpLibFileName, "wnaspi32.dll"));
    if (!aspi || !machine_.aspi().config().installed) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++libraryLoads_;
        ++totalLibraryLoads_;
    }
    g_aspiOwner.store(this, std::memory_order_release);
    return reinterpret_cast<HMODULE>(kAspiModule);
}

FARPROC SimPlatform::GetProcAddress(HMODULE hModule, const char* lpProcName) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reinterpret_cast<std::uintptr_t>(hModule) != kAspiModule || libraryLoads_ == 0) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
    }
    // A value below 64 KiB is an ordinal, not a name; the manager exports nothing by ordinal.
    const bool named = reinterpret_cast<std::uintptr_t>(lpProcName) >= 0x10000;
    const sim::AspiConfig& config = machine_.aspi().config();
    if (named && config.hasSupportInfoEntry &&
        std::strcmp(lpProcName, "GetASPI32SupportInfo") == 0) {
        return reinterpret_cast<FARPROC>(&AspiSupportInfoEntry);
    }
    if (named && config.hasSendCommandEntry && std::strcmp(lpProcName, "SendASPI32Command") == 0) {
        return reinterpret_cast<FARPROC>(&AspiSendCommandEntry);
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL SimPlatform::FreeLibrary(HMODULE hLibModule) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reinterpret_cast<std::uintptr_t>(hLibModule) != kAspiModule || libraryLoads_ == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--libraryLoads_ == 0) {
        SimPlatform* self = this;
        g_aspiOwner.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    }
    return TRUE;
}

// --- Events -----------------------------------------------------------------------------------

HANDLE SimPlatform::CreateEventA(void*, BOOL bManualReset, BOOL bInitialState, const char*) {
    if (machine_.os.eventCreateFails) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The handle is the machine's own event value: the ASPI manager signals the handle a
    // request names, without going through this platform.
    auto entry = std::make_unique<HandleEntry>();
    entry->kind = HandleEntry::Kind::Event;
    entry->event = machine_.CreateEvent(bManualReset != FALSE,
                                        bInitialState != FALSE || machine_.os.staleEventSignals);
    void* event = entry->event;
    std::lock_guard<std::mutex> lock(mutex_);
    handles_[reinterpret_cast<std::uintptr_t>(event)] = std::move(entry);
    return event;
}

DWORD SimPlatform::WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    void* event = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hHandle));
        if (it == handles_.end() || it->second->kind != HandleEntry::Kind::Event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        event = it->second->event;
    }
    const std::int64_t timeout =
        dwMilliseconds == INFINITE ? -1 : static_cast<std::int64_t>(dwMilliseconds) * 1'000'000;
    return machine_.WaitEvent(event, timeout) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// --- Time ---------------------------------------------------------------------------------------

BOOL SimPlatform::QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!machine_.os.hasPerformanceCounter) {
        lpFrequency->QuadPart = 0;
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    lpFrequency->QuadPart = sim::Clock::kCounterFrequency;
    return TRUE;
}

BOOL SimPlatform::QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!machine_.os.hasPerformanceCounter) {
        lpPerformanceCount->QuadPart = 0;
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = machine_.clock.ReadCounter();
    return TRUE;
}

void SimPlatform::Sleep(DWORD dwMilliseconds) {
    machine_.clock.SleepMillis(dwMilliseconds);
}

BOOL SimPlatform::SwitchToThread() {
    // On a virtual clock a thread that spins on the counter moves time on itself and waits for
    // nobody: giving the processor away would only cost it a whole time slice whenever the host
    // is busy. On a scaled clock it waits in real time, and the others should run meanwhile.
    if (machine_.clock.mode() == sim::Clock::Mode::Virtual) {
        return FALSE;
    }
    std::this_thread::yield();
    return TRUE;
}

// --- What the emulated OS saw ----------------------------------------------------------------

std::vector<RecordedMessageBox> SimPlatform::MessageBoxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}

int SimPlatform::OpenHandleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(handles_.size());
}

int SimPlatform::LibraryLoadCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return libraryLoads_;
}

int SimPlatform::TotalLibraryLoads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return totalLibraryLoads_;
}

bool SimPlatform::ShutdownPrivilegeEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shutdownPrivilegeEnabled_;
}

int SimPlatform::HeapBlockCount() const {
    return heap_.BlockCount();
}

void SimPlatform::SetYesNoAnswer(int answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    yesNoAnswer_ = answer;
}

void SimPlatform::SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    messageBoxHandler_ = std::move(handler);
}

}  // namespace quiver
