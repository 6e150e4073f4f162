// What the Linux platform's files share: the open drive, the event and the handle table's
// entries, and the small system helpers. Not part of the platform's interface.
#pragma once

#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/linux_platform.h"

namespace quiver {

namespace linux_detail {

// The Win32 error code for an errno value.
DWORD ErrorFromErrno(int error);
// The first line of a small sysfs file, without the line break; false when it cannot be read.
bool ReadLine(const std::string& path, std::string* line);

// The real system behind the hooks a test may replace.
bool RealMayRestart();
bool RealRestart(LinuxPlatform::RestartKind kind);
void StderrReport(const std::string& text);
int StderrMessageBox(const char* text, const char* caption, UINT type);

}  // namespace linux_detail
// An open drive: the block node, and the generic node opened on first need.
struct LinuxPlatform::Device {
    int sr = -1;
    int srFd = -1;
    std::string srPath;
    std::string sgPath;  // empty: sysfs names no sg node
    std::mutex sgMutex;
    int sgFd = -1;
    bool sgFailed = false;
    // While the drive is claimed: the block node held open with O_EXCL, and the generic node
    // opened with O_EXCL too. Guarded by sgMutex.
    int exclusiveFd = -1;
    bool exclusive = false;

    ~Device() {
        if (srFd >= 0) {
            close(srFd);
        }
        if (sgFd >= 0) {
            close(sgFd);
        }
        if (exclusiveFd >= 0) {
            close(exclusiveFd);
        }
    }
};

struct LinuxPlatform::Event {
    std::mutex mutex;
    std::condition_variable cv;
    bool manualReset = true;
    bool signalled = false;
};

struct LinuxPlatform::HandleEntry {
    enum class Kind { Device, Event, Token };
    Kind kind = Kind::Device;
    std::shared_ptr<Device> device;
    std::shared_ptr<Event> event;
    DWORD access = 0;  // Token
};

}  // namespace quiver
