#include "platform/linux/linux_flash_guards.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/drive_access.h"
#include "platform/linux/linux_bus.h"
#include "platform/linux/linux_termination.h"

namespace quiver {

namespace {

// A descriptor whose closing gives back what it holds (a lock file's lock, an inhibitor).
class DescriptorGuard : public FlashGuard {
  public:
    explicit DescriptorGuard(int fd) : fd_(fd) {}
    ~DescriptorGuard() override { close(fd_); }

  private:
    int fd_;
};

// Several guards given back together, the last taken first.
class GuardSet : public FlashGuard {
  public:
    ~GuardSet() override {
        while (!guards.empty()) {
            guards.pop_back();
        }
    }
    std::vector<std::unique_ptr<FlashGuard>> guards;
};

class ExclusiveDriveGuard : public FlashGuard {
  public:
    explicit ExclusiveDriveGuard(OpenDrive& drive) : drive_(drive) {}
    ~ExclusiveDriveGuard() override { drive_.ReleaseExclusive(); }

  private:
    OpenDrive& drive_;
};

// The lock file in `directory`, opened read-only without following a link or blocking on
// anything that is not a plain file; made, readable by every account, when there is none.
// -1 when the directory cannot hold it.
int OpenLockFile(const std::string& directory) {
    const std::string path = directory + "/" + LinuxFlashGuards::kLockFileName;
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // Opened first without O_CREAT: in a sticky directory the system may refuse O_CREAT on a
    // file that another account made, although it lets us open that file.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open(path.c_str(), kFlags);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
            if (fd < 0 && errno == EEXIST) {
                continue;  // made by another updater in between
            }
            if (fd >= 0) {
                fchmod(fd, 0644);  // whatever the umask
            }
        }
        if (fd < 0) {
            return -1;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return -1;
        }
        return fd;
    }
    return -1;
}

}  // namespace

LinuxFlashGuards::Settings LinuxFlashGuards::SystemSettings() {
    Settings settings;
    settings.lockDirectories.push_back("/run/lock");
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
        settings.lockDirectories.push_back(runtime);
    }
    return settings;
}

LinuxFlashGuards::LinuxFlashGuards(Settings settings) : settings_(std::move(settings)) {}

Guarded LinuxFlashGuards::ClaimMachine() {
    for (const std::string& directory : settings_.lockDirectories) {
        if (directory.empty()) {
            continue;
        }
        const int fd = OpenLockFile(directory);
        if (fd < 0) {
            continue;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return {GuardResult::Taken, std::make_unique<DescriptorGuard>(fd)};
        }
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            return {GuardResult::Busy, nullptr};
        }
    }
    return {GuardResult::Unavailable, nullptr};
}

Guarded LinuxFlashGuards::HoldSystem(void* /*window*/, const std::string& title) {
    auto held = std::make_unique<GuardSet>();
    if (settings_.termination != nullptr) {
        held->guards.push_back(settings_.termination->Hold());
    }
    if (auto inhibitor = Inhibit(title)) {
        held->guards.push_back(std::move(inhibitor));
    }
    if (held->guards.empty()) {
        return {GuardResult::Unavailable, nullptr};
    }
    return {GuardResult::Taken, std::move(held)};
}

std::unique_ptr<FlashGuard> LinuxFlashGuards::Inhibit(const std::string& title) const {
    const auto bus = linux_detail::OpenBus(settings_.busAddress);
    if (!bus) {
        return nullptr;
    }
    sd_bus_set_method_call_timeout(
        bus.get(), static_cast<std::uint64_t>(settings_.busTimeoutMilliseconds) * 1000u);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int called = sd_bus_call_method(
        bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss", "shutdown:sleep",
        title.empty() ? "Firmware updater" : title.c_str(), kFlashingReason, "block");
    sd_bus_error_free(&error);
    const linux_detail::MessagePtr owned(reply);
    int fd = -1;
    if (called < 0 || sd_bus_message_read(reply, "h", &fd) < 0) {
        return nullptr;
    }
    // The message owns the descriptor it carried: ours is a copy that outlives it.
    const int held = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (held < 0) {
        return nullptr;
    }
    return std::make_unique<DescriptorGuard>(held);
}

Guarded LinuxFlashGuards::ClaimDrive(HANDLE) {
    return {GuardResult::Unavailable, nullptr};  // Linux drives have no such handle
}

Guarded LinuxFlashGuards::ClaimOpenDrive(OpenDrive& drive) {
    int error = drive.ClaimExclusive();
    for (int attempt = 1; error == EBUSY && attempt < settings_.claimAttempts; ++attempt) {
        const long pause = settings_.claimPauseMilliseconds;
        timespec wait{pause / 1000, pause % 1000 * 1'000'000};
        nanosleep(&wait, nullptr);
        error = drive.ClaimExclusive();
    }
    if (error == 0) {
        return {GuardResult::Taken, std::make_unique<ExclusiveDriveGuard>(drive)};
    }
    return {error == EBUSY ? GuardResult::Busy : GuardResult::Unavailable, nullptr};
}

}  // namespace quiver
