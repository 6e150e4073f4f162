// Drive enumeration and access on Linux. The optical drives are the block devices sysfs lists
// as /sys/class/block/srN with a SCSI device type of 5; each is named as the kernel names it
// ("sr0"), with the address of its SCSI device directory (host:channel:target:lun) and the
// vendor, model and revision sysfs keeps. A drive whose block node cannot be opened is listed
// all the same, with the reason ("/dev/sr0: permission denied").
//
// Commands go through SG_IO on /dev/srN, opened read-only. The kernel's command filter refuses
// WRITE BUFFER and the vendor command there unless the process holds CAP_SYS_RAWIO; the drive's
// generic node /dev/sgN (from sysfs), opened read-write, takes them. The choice is made once per
// drive: after the block node's first refusal, or from the start with CAP_SYS_RAWIO, those
// commands go straight to the generic node. The generic node is used only once it has shown that
// it is the block node's device (SG_GET_SCSI_ID against SCSI_IOCTL_GET_IDLUN); otherwise those
// commands are refused and the refusal is reported, naming both nodes.
//
// Errors stay errno values. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/drive_access.h"

namespace quiver {

class LinuxDrives final : public DriveAccess {
  public:
    // The parts of the system a test replaces. Every empty member takes the real one.
    struct Hooks {
        // Whether the process holds CAP_SYS_RAWIO in its effective set (libcap).
        std::function<bool()> hasRawIo;
        // Tells of a request refused for the drive's safety (a generic node that is not the
        // block node's device). The default writes "quiver: TEXT" to standard error.
        std::function<void(const std::string& text)> report;
    };

    // `root` is prefixed to every sysfs and /dev path ("/" on a real system; a temporary
    // directory holding sys/ and dev/ in tests).
    explicit LinuxDrives(std::string root = "/", Hooks hooks = {});
    ~LinuxDrives() override;
    LinuxDrives(const LinuxDrives&) = delete;
    LinuxDrives& operator=(const LinuxDrives&) = delete;

    std::vector<DriveEntry> ListDrives() override;
    // The open drive must not outlive this object.
    std::unique_ptr<OpenDrive> Open(const std::string& name, std::string* problem) override;

    // Whether WRITE BUFFER and the vendor command of the named drive go to its generic node.
    bool UsesGenericNode(const std::string& name) const;
    // The SG_IO requests made so far through the drives opened here.
    std::uint64_t Requests() const { return *requests_; }

    // The lines telling what access is missing: to open a drive's block node, and to send the
    // filtered commands (`genericNode` empty: the drive has no generic node).
    static std::string ReadAccessLine(const std::string& blockNode);
    static std::string WriteAccessLine(const std::string& genericNode);

  private:
    struct Choice;
    class Drive;

    std::string Path(const std::string& relative) const;
    bool Describe(const std::string& name, DriveEntry* entry) const;
    std::shared_ptr<Choice> ChoiceFor(const std::string& name);

    const std::string root_;
    Hooks hooks_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Choice>> choices_;
    std::shared_ptr<std::atomic<std::uint64_t>> requests_ =
        std::make_shared<std::atomic<std::uint64_t>>(0);
};

}  // namespace quiver
