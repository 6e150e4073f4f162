// What the backends that stand in for Windows (Linux, the emulated PC) share of the heap and
// token calls: a process heap of C library blocks, and AdjustTokenPrivileges on a token that
// can hold no privilege but the shutdown privilege.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "platform/winapi.h"

namespace quiver {

// The value LookupPrivilegeValueA gives for SE_SHUTDOWN_NAME.
inline constexpr LUID kShutdownPrivilegeLuid{19, 0};

// The process heap: one made-up handle; blocks from the C library, kept track of so that a
// block freed twice, or never handed out, is refused rather than passed to free(). Thread-safe.
// Blocks still allocated when the heap goes are freed with it.
class ProcessHeap {
  public:
    ProcessHeap() = default;
    ~ProcessHeap();
    ProcessHeap(const ProcessHeap&) = delete;
    ProcessHeap& operator=(const ProcessHeap&) = delete;

    static HANDLE Handle();

    // HeapAlloc: null for another handle or when memory runs out, also when the blocks in use
    // would then take more than `limit` bytes. A block not asked to be zeroed
    // (HEAP_ZERO_MEMORY) is filled with `fill` when it is 0 to 255.
    void* Alloc(HANDLE heap, DWORD flags, std::size_t bytes, int fill = -1,
                std::size_t limit = SIZE_MAX);
    // HeapFree: ERROR_SUCCESS (a null block too), ERROR_INVALID_HANDLE for another handle, or
    // ERROR_INVALID_PARAMETER for a block this heap does not hold.
    DWORD Free(HANDLE heap, void* block);
    int BlockCount() const;

  private:
    mutable std::mutex mutex_;
    std::map<void*, std::size_t> blocks_;  // with their sizes
    std::size_t bytesInUse_ = 0;
};

// LookupPrivilegeValueA for the only privilege these tokens know: ERROR_SUCCESS with `*luid` set
// for SE_SHUTDOWN_NAME (in any case), ERROR_NO_SUCH_PRIVILEGE for another name, or
// ERROR_INVALID_PARAMETER.
DWORD LookupShutdownPrivilege(const char* name, LUID* luid);

// AdjustTokenPrivileges on a token opened with `access`, whose shutdown privilege is `enabled`
// now. `assignable(enable)` tells whether the privilege may be enabled (true) or disabled
// (false) for this process. Checks the arguments as the system does, applies NewState (or
// disables all), and fills PreviousState with what changed.
struct PrivilegeAdjustment {
    // ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER or ERROR_INSUFFICIENT_BUFFER: the call fails
    // and nothing changes. ERROR_SUCCESS or ERROR_NOT_ALL_ASSIGNED: the call succeeds with this
    // last error, and `enabled` is the privilege's new state.
    DWORD error = ERROR_SUCCESS;
    bool enabled = false;
};
PrivilegeAdjustment AdjustShutdownPrivilege(DWORD access, bool enabled, BOOL disableAll,
                                            const TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                                            TOKEN_PRIVILEGES* previousState, DWORD* returnLength,
                                            const std::function<bool(bool enable)>& assignable);

}  // namespace quiver
