#include "platform/flash_guards.h"

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace quiver {

namespace {

class MutexGuard : public FlashGuard {
  public:
    explicit MutexGuard(HANDLE mutex) : mutex_(mutex) {}
    ~MutexGuard() override { Os().CloseHandle(mutex_); }

  private:
    HANDLE mutex_;
};

// The console control handler while drives are flashed. The system calls it on a thread of its
// own, at any moment: it touches nothing of the program, only the standard error stream. Ctrl+C
// and Ctrl+Break are refused; the console closing, the user logging off and the system shutting
// down end the process after its handlers whatever they answer, and go on to the next handler.
BOOL WINAPI RefuseEnding(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    std::fprintf(stderr, "%s\n", kEndingRefused);  // one line, in one piece
    std::fflush(stderr);
    return TRUE;
}

class SystemGuard : public FlashGuard {
  public:
    SystemGuard(HWND window, bool awake, bool blocked, bool console)
        : window_(window), awake_(awake), blocked_(blocked), console_(console) {}
    ~SystemGuard() override {
        Platform& os = Os();
        if (console_) {
            os.SetConsoleCtrlHandler(RefuseEnding, FALSE);
        }
        if (blocked_) {
            os.ShutdownBlockReasonDestroy(window_);
        }
        if (awake_) {
            os.SetThreadExecutionState(ES_CONTINUOUS);
        }
    }

  private:
    HWND window_;
    bool awake_;
    bool blocked_;
    bool console_;
};

class VolumeGuard : public FlashGuard {
  public:
    explicit VolumeGuard(HANDLE device) : device_(device) {}
    ~VolumeGuard() override {
        DWORD returned = 0;
        Os().DeviceIoControl(device_, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                             nullptr);
    }

  private:
    HANDLE device_;
};

}  // namespace

Guarded WindowsFlashGuards::ClaimMachine() {
    Platform& os = Os();
    for (const char* name : {kMutexName, kLocalMutexName}) {
        HANDLE mutex = os.CreateMutexA(nullptr, FALSE, name);
        if (mutex == nullptr) {
            if (os.GetLastError() == ERROR_ACCESS_DENIED) {
                return {GuardResult::Busy, nullptr};  // made by another account's updater
            }
            continue;  // a system without that namespace: the next name
        }
        if (os.GetLastError() == ERROR_ALREADY_EXISTS) {
            os.CloseHandle(mutex);
            return {GuardResult::Busy, nullptr};
        }
        return {GuardResult::Taken, std::make_unique<MutexGuard>(mutex)};
    }
    return {GuardResult::Unavailable, nullptr};
}

Guarded WindowsFlashGuards::HoldSystem(void* window, const std::string& /*title*/) {
    Platform& os = Os();
    const bool awake = os.SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
    bool blocked = false;
    if (window != nullptr) {
        const std::wstring reason(kFlashingReason, kFlashingReason + sizeof kFlashingReason - 1);
        blocked = os.ShutdownBlockReasonCreate(window, reason.c_str()) != FALSE;
    }
    const bool console = os.SetConsoleCtrlHandler(RefuseEnding, TRUE) != FALSE;
    if (!awake && !blocked && !console) {
        return {GuardResult::Unavailable, nullptr};
    }
    return {GuardResult::Taken, std::make_unique<SystemGuard>(window, awake, blocked, console)};
}

Guarded WindowsFlashGuards::ClaimDrive(HANDLE device) {
    if (device == nullptr || device == INVALID_HANDLE_VALUE) {
        return {GuardResult::Unavailable, nullptr};
    }
    DWORD returned = 0;
    if (!Os().DeviceIoControl(device, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                              nullptr)) {
        return {GuardResult::Unavailable, nullptr};
    }
    return {GuardResult::Taken, std::make_unique<VolumeGuard>(device)};
}

}  // namespace quiver
