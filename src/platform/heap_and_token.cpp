#include "platform/heap_and_token.h"

#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace quiver {

namespace {
constexpr DWORD kHeapZeroMemory = 0x00000008;
constexpr std::uintptr_t kHeapHandle = 0x0FF0;

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

DWORD LookupShutdownPrivilege(const char* name, LUID* luid) {
    if (name == nullptr || luid == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!EqualNoCase(name, SE_SHUTDOWN_NAME)) {
        return ERROR_NO_SUCH_PRIVILEGE;
    }
    *luid = kShutdownPrivilegeLuid;
    return ERROR_SUCCESS;
}

ProcessHeap::~ProcessHeap() {
    for (const auto& block : blocks_) {
        std::free(block.first);
    }
}

HANDLE ProcessHeap::Handle() {
    return reinterpret_cast<HANDLE>(kHeapHandle);
}

void* ProcessHeap::Alloc(HANDLE heap, DWORD flags, std::size_t bytes, int fill, std::size_t limit) {
    if (reinterpret_cast<std::uintptr_t>(heap) != kHeapHandle) {
        return nullptr;
    }
    const std::size_t size = bytes == 0 ? 1 : bytes;
    std::lock_guard<std::mutex> lock(mutex_);
    if (size > limit || bytesInUse_ > limit - size) {
        return nullptr;
    }
    void* block = nullptr;
    if ((flags & kHeapZeroMemory) != 0) {
        block = std::calloc(1, size);
    } else {
        block = std::malloc(size);
        if (block != nullptr && fill >= 0 && fill <= 255) {
            std::memset(block, fill, size);
        }
    }
    if (block != nullptr) {
        blocks_.emplace(block, size);
        bytesInUse_ += size;
    }
    return block;
}

DWORD ProcessHeap::Free(HANDLE heap, void* block) {
    if (reinterpret_cast<std::uintptr_t>(heap) != kHeapHandle) {
        return ERROR_INVALID_HANDLE;
    }
    if (block == nullptr) {
        return ERROR_SUCCESS;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = blocks_.find(block);
        if (it == blocks_.end()) {
            return ERROR_INVALID_PARAMETER;
        }
        bytesInUse_ -= it->second;
        blocks_.erase(it);
    }
    std::free(block);
    return ERROR_SUCCESS;
}

int ProcessHeap::BlockCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(blocks_.size());
}

PrivilegeAdjustment AdjustShutdownPrivilege(DWORD access, bool enabled, BOOL disableAll,
                                            const TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                                            TOKEN_PRIVILEGES* previousState, DWORD* returnLength,
                                            const std::function<bool(bool enable)>& assignable) {
    PrivilegeAdjustment result;
    result.enabled = enabled;
    if ((access & TOKEN_ADJUST_PRIVILEGES) == 0 ||
        (previousState != nullptr && (access & TOKEN_QUERY) == 0)) {
        result.error = ERROR_ACCESS_DENIED;
        return result;
    }
    if (!disableAll && newState == nullptr) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    if (previousState != nullptr) {
        const DWORD needed = sizeof(TOKEN_PRIVILEGES);
        if (returnLength != nullptr) {
            *returnLength = needed;
        }
        if (bufferLength < needed) {
            result.error = ERROR_INSUFFICIENT_BUFFER;
            return result;
        }
    }
    bool allAssigned = true;
    if (disableAll) {
        result.enabled = false;
    } else {
        // The entries run on past the one the structure declares.
        const auto* entries = reinterpret_cast<const std::uint8_t*>(newState) +
                              offsetof(TOKEN_PRIVILEGES, Privileges);
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            LUID_AND_ATTRIBUTES entry{};
            std::memcpy(&entry, entries + i * sizeof entry, sizeof entry);
            const bool shutdown = entry.Luid.LowPart == kShutdownPrivilegeLuid.LowPart &&
                                  entry.Luid.HighPart == kShutdownPrivilegeLuid.HighPart;
            const bool enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            if (!shutdown || !assignable(enable)) {
                allAssigned = false;
                continue;
            }
            result.enabled = enable;
        }
    }
    if (previousState != nullptr) {
        previousState->PrivilegeCount = result.enabled != enabled ? 1 : 0;
        previousState->Privileges[0].Luid = kShutdownPrivilegeLuid;
        previousState->Privileges[0].Attributes = enabled ? SE_PRIVILEGE_ENABLED : 0;
    }
    // Success either way; whether every privilege was assigned shows only in the last error.
    result.error = allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
    return result;
}

}  // namespace quiver
