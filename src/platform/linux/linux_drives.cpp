#include "platform/linux/linux_drives.h"

#include <dirent.h>
#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>
#include <sys/capability.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace quiver {

namespace {

constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kVendorCommand = 0xDF;

// The first line of a small sysfs file without the line break and the blanks sysfs pads the
// SCSI identity with; false when it cannot be read.
bool ReadLine(const std::string& path, std::string* line) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::getline(in, *line);
    while (!line->empty() && std::isspace(static_cast<unsigned char>(line->back())) != 0) {
        line->pop_back();
    }
    return !in.bad();
}

// The number of "srN"; -1 for any other name.
int SrNumber(const char* name) {
    if (std::strncmp(name, "sr", 2) != 0 || name[2] == '\0' || std::strlen(name) > 6) {
        return -1;
    }
    for (const char* c = name + 2; *c != '\0'; ++c) {
        if (std::isdigit(static_cast<unsigned char>(*c)) == 0) {
            return -1;
        }
    }
    return std::atoi(name + 2);
}

// "/dev/sr0: permission denied".
std::string Problem(const std::string& node, int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return node + ": " + text;
}

bool AccessError(int error) {
    return error == EACCES || error == EPERM;
}

bool RealHasRawIo() {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) {
        return false;
    }
    cap_flag_value_t value = CAP_CLEAR;
    const bool held =
        cap_get_flag(caps, CAP_SYS_RAWIO, CAP_EFFECTIVE, &value) == 0 && value == CAP_SET;
    cap_free(caps);
    return held;
}

void StderrReport(const std::string& text) {
    std::fprintf(stderr, "quiver: %s\n", text.c_str());
}

// Whether the generic node answers for the block node's device: the host, channel, target and
// LUN that SG_GET_SCSI_ID gives for it are those SCSI_IOCTL_GET_IDLUN gives for the block node
// (which packs each into a byte).
bool GenericNodeIsBlockNodesDevice(int srFd, int sgFd) {
    int idlun[2] = {0, 0};
    sg_scsi_id id{};
    if (ioctl(srFd, SCSI_IOCTL_GET_IDLUN, idlun) != 0 || ioctl(sgFd, SG_GET_SCSI_ID, &id) != 0) {
        return false;
    }
    const auto packed = static_cast<unsigned>(idlun[0]);
    return (packed & 0xFF) == (static_cast<unsigned>(id.scsi_id) & 0xFF) &&
           ((packed >> 8) & 0xFF) == (static_cast<unsigned>(id.lun) & 0xFF) &&
           ((packed >> 16) & 0xFF) == (static_cast<unsigned>(id.channel) & 0xFF) &&
           ((packed >> 24) & 0xFF) == (static_cast<unsigned>(id.host_no) & 0xFF);
}

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace

// The generic-node choice of one drive, kept for as long as the drive access lives.
struct LinuxDrives::Choice {
    std::atomic<bool> generic{false};
};

class LinuxDrives::Drive final : public OpenDrive {
  public:
    Drive(DriveEntry entry, int srFd, std::string sgNode, std::shared_ptr<Choice> choice,
          bool rawIo, const Hooks& hooks, std::shared_ptr<std::atomic<std::uint64_t>> requests)
        : requests_(std::move(requests)),
          entry_(std::move(entry)),
          sr_(srFd),
          sgNode_(std::move(sgNode)),
          choice_(std::move(choice)),
          rawIo_(rawIo),
          hooks_(hooks) {
        if (rawIo_ && !sgNode_.empty()) {
            choice_->generic = true;
        }
    }

    const DriveEntry& Entry() const override { return entry_; }

    DriveReply Send(const DriveCommand& command) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool filtered = command.blockLength > 0 && (command.block[0] == kWriteBuffer ||
                                                          command.block[0] == kVendorCommand);
        if (filtered && choice_->generic) {
            const int sg = GenericNode();
            if (sg >= 0) {
                return SgIo(sg, command);
            }
            if (!rawIo_) {
                DriveReply refused;
                refused.error = sgError_;
                return refused;
            }
            // With CAP_SYS_RAWIO the block node takes the command too.
        }
        DriveReply reply = SgIo(sr_.get(), command);
        if (reply.error != EPERM && reply.error != EACCES) {
            return reply;
        }
        // The block node's command filter refused the command before it reached the drive: from
        // now on the drive's filtered commands go to its generic node.
        if (sgNode_.empty()) {
            missing_ = WriteAccessLine({});
            return reply;
        }
        choice_->generic = true;
        const int sg = GenericNode();
        if (sg < 0) {
            reply.error = sgError_;
            return reply;
        }
        return SgIo(sg, command);
    }

    std::string MissingAccess() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return missing_;
    }

    int ClaimExclusive() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (exclusive_.get() >= 0) {
            return 0;
        }
        const int fd = open(entry_.node.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        exclusive_.Reset(fd);
        // A generic node opened before the claim is opened again, exclusively, when next needed.
        sg_.Reset();
        sgTried_ = false;
        return 0;
    }

    void ReleaseExclusive() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (exclusive_.get() < 0) {
            return;
        }
        exclusive_.Reset();
        sg_.Reset();
        sgTried_ = false;
    }

  private:
    // The generic node, opened read-write on first need; -1 (with sgError_) when it cannot be
    // had. Called with the mutex held.
    int GenericNode() {
        if (sg_.get() >= 0 || sgTried_) {
            return sg_.get();
        }
        sgTried_ = true;
        if (sgNode_.empty()) {
            sgError_ = EPERM;
            missing_ = WriteAccessLine({});
            return -1;
        }
        const int flags = O_RDWR | O_NONBLOCK | O_CLOEXEC | (exclusive_.get() >= 0 ? O_EXCL : 0);
        const int fd = open(sgNode_.c_str(), flags);
        if (fd < 0) {
            sgError_ = errno;
            if (AccessError(sgError_)) {
                missing_ = WriteAccessLine(sgNode_);
            }
            return -1;
        }
        // A stale or planted mapping would send the commands to another drive.
        if (!GenericNodeIsBlockNodesDevice(sr_.get(), fd)) {
            close(fd);
            sgError_ = EPERM;
            hooks_.report(sgNode_ + " is not the device of " + entry_.node +
                          ": no firmware write or vendor command is sent through it");
            return -1;
        }
        sg_.Reset(fd);
        return fd;
    }

    DriveReply SgIo(int fd, const DriveCommand& command) {
        ++*requests_;
        DriveReply reply;
        std::uint8_t sense[sizeof reply.sense] = {};
        std::uint8_t block[16] = {};
        const std::size_t blockLength = std::min<std::size_t>(command.blockLength, sizeof block);
        std::memcpy(block, command.block, blockLength);
        sg_io_hdr_t io{};
        io.interface_id = 'S';
        io.cmdp = block;
        io.cmd_len = static_cast<unsigned char>(blockLength);
        io.sbp = sense;
        io.mx_sb_len = sizeof sense;
        if (command.direction != DataDirection::None && command.length > 0 &&
            command.data != nullptr) {
            io.dxfer_direction =
                command.direction == DataDirection::FromDrive ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
            io.dxferp = command.data;
            io.dxfer_len = command.length;
        } else {
            io.dxfer_direction = SG_DXFER_NONE;
        }
        // At most 108,000 s in the drive object: within an unsigned count of milliseconds.
        io.timeout = std::min<std::uint32_t>(command.timeLimit, UINT_MAX / 1000) * 1000u;
        if (ioctl(fd, SG_IO, &io) < 0) {
            reply.error = errno;
            return reply;
        }
        reply.status = io.status;
        reply.hostStatus = io.host_status;
        reply.driverStatus = io.driver_status;
        reply.senseLength = std::min<std::uint8_t>(io.sb_len_wr, sizeof sense);
        std::memcpy(reply.sense, sense, reply.senseLength);
        const std::uint32_t resid =
            io.resid > 0
                ? std::min<std::uint32_t>(static_cast<std::uint32_t>(io.resid), io.dxfer_len)
                : 0;
        reply.transferred = io.dxfer_len - resid;
        return reply;
    }

    const std::shared_ptr<std::atomic<std::uint64_t>> requests_;
    const DriveEntry entry_;
    Descriptor sr_;
    const std::string sgNode_;
    const std::shared_ptr<Choice> choice_;
    const bool rawIo_;
    const Hooks& hooks_;
    mutable std::mutex mutex_;
    Descriptor sg_;
    bool sgTried_ = false;
    int sgError_ = 0;
    Descriptor exclusive_;
    std::string missing_;
};

LinuxDrives::LinuxDrives(std::string root, Hooks hooks)
    : root_(std::move(root)), hooks_(std::move(hooks)) {
    if (!hooks_.hasRawIo) {
        hooks_.hasRawIo = RealHasRawIo;
    }
    if (!hooks_.report) {
        hooks_.report = StderrReport;
    }
}

LinuxDrives::~LinuxDrives() = default;

std::string LinuxDrives::ReadAccessLine(const std::string& blockNode) {
    return "Reading the drive needs read access to " + blockNode +
           ": membership of the cdrom group, or the seat's ACL for the device.";
}

std::string LinuxDrives::WriteAccessLine(const std::string& genericNode) {
    if (genericNode.empty()) {
        return "Writing firmware needs CAP_SYS_RAWIO, or the drive's generic node (the sg "
               "module loaded) with read-write access.";
    }
    return "Writing firmware needs read-write access to " + genericNode +
           " or CAP_SYS_RAWIO: membership of the cdrom group, or the seat's ACL for the device.";
}

std::string LinuxDrives::Path(const std::string& relative) const {
    std::string path = root_;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + relative;
}

bool LinuxDrives::Describe(const std::string& name, DriveEntry* entry) const {
    const std::string device = Path("sys/class/block/" + name + "/device/");
    std::string type;
    if (SrNumber(name.c_str()) < 0 || !ReadLine(device + "type", &type) || type != "5") {
        return false;
    }
    entry->name = name;
    entry->node = Path("dev/" + name);
    ReadLine(device + "vendor", &entry->vendor);
    ReadLine(device + "model", &entry->model);
    ReadLine(device + "rev", &entry->revision);
    // The SCSI device directory is named host:channel:target:lun.
    char resolved[PATH_MAX];
    if (realpath(device.c_str(), resolved) != nullptr) {
        const char* base = std::strrchr(resolved, '/');
        base = base != nullptr ? base + 1 : resolved;
        int h = 0, c = 0, t = 0, l = 0;
        char tail = 0;
        if (std::sscanf(base, "%d:%d:%d:%d%c", &h, &c, &t, &l, &tail) == 4 && h >= 0 && c >= 0 &&
            t >= 0 && l >= 0) {
            entry->host = h;
            entry->channel = c;
            entry->target = t;
            entry->lun = l;
        }
    }
    return true;
}

std::vector<DriveEntry> LinuxDrives::ListDrives() {
    std::vector<std::pair<int, std::string>> names;
    if (DIR* dir = opendir(Path("sys/class/block").c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const int n = SrNumber(entry->d_name);
            if (n >= 0) {
                names.emplace_back(n, entry->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<DriveEntry> drives;
    for (const auto& [number, name] : names) {
        DriveEntry entry;
        if (!Describe(name, &entry)) {
            continue;
        }
        const int fd = open(entry.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
        } else {
            const int error = errno;
            entry.problem = Problem(entry.node, error);
            if (AccessError(error)) {
                entry.missingAccess = ReadAccessLine(entry.node);
            }
        }
        drives.push_back(std::move(entry));
    }
    return drives;
}

std::shared_ptr<LinuxDrives::Choice> LinuxDrives::ChoiceFor(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Choice>& choice = choices_[name];
    if (!choice) {
        choice = std::make_shared<Choice>();
    }
    return choice;
}

std::unique_ptr<OpenDrive> LinuxDrives::Open(const std::string& name, std::string* problem) {
    DriveEntry entry;
    if (!Describe(name, &entry)) {
        if (problem != nullptr) {
            *problem = Problem(Path("dev/" + name), ENODEV);
        }
        return nullptr;
    }
    // Without O_NONBLOCK a drive with its tray open does not open at all.
    const int fd = open(entry.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (problem != nullptr) {
            *problem = Problem(entry.node, errno);
        }
        return nullptr;
    }
    std::string sgNode;
    if (DIR* dir = opendir(Path("sys/class/block/" + name + "/device/scsi_generic").c_str())) {
        while (const dirent* generic = readdir(dir)) {
            if (std::strncmp(generic->d_name, "sg", 2) == 0) {
                sgNode = Path(std::string("dev/") + generic->d_name);
                break;
            }
        }
        closedir(dir);
    }
    return std::make_unique<Drive>(std::move(entry), fd, std::move(sgNode), ChoiceFor(name),
                                   hooks_.hasRawIo(), hooks_, requests_);
}

bool LinuxDrives::UsesGenericNode(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = choices_.find(name);
    return it != choices_.end() && it->second->generic;
}

}  // namespace quiver
