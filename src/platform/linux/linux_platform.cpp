#include "platform/linux/linux_platform.h"

#include "platform/collation.h"
#include "platform/device_requests.h"

#include <dirent.h>
#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

extern char** environ;

namespace quiver {

namespace {

constexpr int kHighestSrNumber = 35;
// Sense bytes SG_IO may return; the caller gets as many as it asked for.
constexpr std::size_t kSenseCapacity = 64;
// host_status and driver_status values of the SCSI midlayer.
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidBusBusy = 0x02;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;
constexpr unsigned kCapSysBoot = 22;

thread_local DWORD t_lastError = ERROR_SUCCESS;

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
        case EFAULT:
        case EOVERFLOW:
            return ERROR_INVALID_PARAMETER;
        case ENOTTY:
        case ENOSYS:
            return ERROR_INVALID_FUNCTION;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        case ENOMEDIUM:
        case EBUSY:
            return ERROR_NOT_READY;
        default:
            return ERROR_IO_DEVICE;
    }
}

// The first line of a small sysfs file, without the line break; nothing when it cannot be read.
bool ReadLine(const std::string& path, std::string* line) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::getline(in, *line);
    return !in.bad();
}

// "srN" -> N; -1 for any other name.
int SrNumberOfName(const char* name) {
    if (std::strncmp(name, "sr", 2) != 0 || name[2] == '\0') {
        return -1;
    }
    int n = 0;
    for (const char* p = name + 2; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)) || n > 100000) {
            return -1;
        }
        n = n * 10 + (*p - '0');
    }
    if (name[2] == '0' && name[3] != '\0') {
        return -1;  // no leading zeros: "sr01" is not sr1
    }
    return n;
}

bool RunQuiet(const std::vector<std::string>& args, std::string* output) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return false;
    }
    char chunk[256];
    ssize_t got = 0;
    while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0 && output != nullptr) {
            output->append(chunk, static_cast<std::size_t>(got));
        }
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const char* kLogin1[] = {"busctl",
                         "--system",
                         "call",
                         "org.freedesktop.login1",
                         "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager"};

bool HasCapSysBoot() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
            return ((caps >> kCapSysBoot) & 1u) != 0;
        }
    }
    return false;
}

bool RealMayRestart() {
    if (HasCapSysBoot()) {
        return true;
    }
    std::vector<std::string> args(std::begin(kLogin1), std::end(kLogin1));
    args.push_back("CanReboot");
    std::string answer;
    if (!RunQuiet(args, &answer)) {
        return false;
    }
    // busctl prints: s "yes"
    return answer.find("\"yes\"") != std::string::npos ||
           answer.find("\"challenge\"") != std::string::npos;
}

bool RealRestart(LinuxPlatform::RestartKind kind) {
    sync();
    std::vector<std::string> args(std::begin(kLogin1), std::end(kLogin1));
    args.push_back(kind == LinuxPlatform::RestartKind::Reboot ? "Reboot" : "PowerOff");
    args.push_back("b");
    args.push_back("false");
    if (RunQuiet(args, nullptr)) {
        return true;
    }
    return reboot(kind == LinuxPlatform::RestartKind::Reboot ? RB_AUTOBOOT : RB_POWER_OFF) == 0;
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

int StderrMessageBox(const char* text, const char* caption, UINT type) {
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "",
                 text != nullptr ? text : "");
    return (type & 0x0F) == MB_YESNO ? IDNO : IDOK;
}

}  // namespace

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

LinuxPlatform::LinuxPlatform(std::string root, Hooks hooks)
    : root_(std::move(root)), hooks_(std::move(hooks)) {
    if (!hooks_.mayRestart) {
        hooks_.mayRestart = RealMayRestart;
    }
    if (!hooks_.restart) {
        hooks_.restart = RealRestart;
    }
    if (!hooks_.messageBox) {
        hooks_.messageBox = StderrMessageBox;
    }
    if (!hooks_.report) {
        hooks_.report = StderrReport;
    }
}

LinuxPlatform::~LinuxPlatform() = default;

std::string LinuxPlatform::RootForSrNumber(int n) {
    if (n < 0 || n > kHighestSrNumber) {
        return {};
    }
    const char c = n < 10 ? static_cast<char>('0' + n) : static_cast<char>('A' + n - 10);
    return std::string(1, c) + ":";
}

int LinuxPlatform::SrNumberForRoot(const char* root) {
    if (root == nullptr || root[0] == '\0' || root[1] != ':') {
        return -1;
    }
    if (root[2] != '\0' && !(root[2] == '\\' && root[3] == '\0')) {
        return -1;
    }
    const unsigned char c = static_cast<unsigned char>(root[0]);
    if (std::isdigit(c)) {
        return c - '0';
    }
    if (std::isalpha(c)) {
        return std::toupper(c) - 'A' + 10;
    }
    return -1;
}

std::string LinuxPlatform::Path(const std::string& relative) const {
    std::string path = root_;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + relative;
}

std::string LinuxPlatform::SysBlock(int sr) const {
    return Path("sys/class/block/sr" + std::to_string(sr));
}

bool LinuxPlatform::IsOptical(int sr) const {
    std::string type;
    return sr >= 0 && ReadLine(SysBlock(sr) + "/device/type", &type) && type == "5";
}

std::vector<int> LinuxPlatform::OpticalSrNumbers() const {
    std::vector<int> numbers;
    DIR* dir = opendir(Path("sys/class/block").c_str());
    if (dir == nullptr) {
        return numbers;
    }
    while (const dirent* entry = readdir(dir)) {
        const int n = SrNumberOfName(entry->d_name);
        if (n >= 0 && n <= kHighestSrNumber && IsOptical(n)) {
            numbers.push_back(n);
        }
    }
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

HANDLE LinuxPlatform::AddHandle(std::shared_ptr<HandleEntry> entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uintptr_t value = handleValues_.Next(handles_);
    if (value == 0) {
        return nullptr;
    }
    handles_[value] = std::move(entry);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<LinuxPlatform::HandleEntry> LinuxPlatform::FindHandle(HANDLE handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? nullptr : it->second;
}

// --- Drive strings, types and device access -------------------------------------------------

DWORD LinuxPlatform::GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer) {
    std::vector<std::string> roots;
    for (int n : OpticalSrNumbers()) {
        roots.push_back(RootForSrNumber(n) + "\\");
    }
    return CopyDriveStrings(roots, nBufferLength, lpBuffer);
}

UINT LinuxPlatform::GetDriveTypeA(const char* lpRootPathName) {
    const int sr = SrNumberForRoot(lpRootPathName);
    return IsOptical(sr) ? DRIVE_CDROM : DRIVE_NO_ROOT_DIR;
}

HANDLE LinuxPlatform::CreateFileA(const char* lpFileName, DWORD, DWORD, void*,
                                  DWORD dwCreationDisposition, DWORD, HANDLE) {
    int sr = -1;
    if (lpFileName != nullptr && std::strncmp(lpFileName, "\\\\.\\", 4) == 0) {
        sr = SrNumberForRoot(lpFileName + 4);
        if (lpFileName[4] != '\0' && lpFileName[5] == ':' && lpFileName[6] != '\0') {
            sr = -1;  // "\\.\0:\" names no device
        }
    }
    if (!IsOptical(sr)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto device = std::make_shared<Device>();
    device->sr = sr;
    device->srPath = Path("dev/sr" + std::to_string(sr));
    // Without O_NONBLOCK a drive with its tray open does not open at all.
    device->srFd = open(device->srPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (device->srFd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (DIR* dir = opendir((SysBlock(sr) + "/device/scsi_generic").c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (std::strncmp(entry->d_name, "sg", 2) == 0) {
                device->sgPath = Path(std::string("dev/") + entry->d_name);
                break;
            }
        }
        closedir(dir);
    }
    auto entry = std::make_shared<HandleEntry>();
    entry->kind = HandleEntry::Kind::Device;
    entry->device = std::move(device);
    HANDLE handle = AddHandle(std::move(entry));
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL LinuxPlatform::DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer,
                                    DWORD nInBufferSize, void* lpOutBuffer, DWORD nOutBufferSize,
                                    DWORD* lpBytesReturned, void*) {
    DWORD returned = 0;
    DWORD* out = lpBytesReturned != nullptr ? lpBytesReturned : &returned;
    *out = 0;
    const std::shared_ptr<HandleEntry> entry = FindHandle(hDevice);
    if (entry == nullptr || entry->kind != HandleEntry::Kind::Device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Device& device = *entry->device;
    switch (dwIoControlCode) {
        case IOCTL_SCSI_GET_ADDRESS:
            return ScsiGetAddress(device, lpOutBuffer, nOutBufferSize, out);
        case IOCTL_STORAGE_QUERY_PROPERTY:
            return StorageQuery(device, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                out);
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            return PassThrough(device, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, out);
        default:
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
    }
}

BOOL LinuxPlatform::ScsiGetAddress(Device& device, void* out, DWORD outSize, DWORD* returned) {
    if (out == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    unsigned host = 0, channel = 0, target = 0, lun = 0;
    bool found = false;
    // The device directory is named host:channel:target:lun.
    char resolved[PATH_MAX];
    if (realpath((SysBlock(device.sr) + "/device").c_str(), resolved) != nullptr) {
        const char* base = std::strrchr(resolved, '/');
        base = base != nullptr ? base + 1 : resolved;
        char tail = 0;
        found = std::sscanf(base, "%u:%u:%u:%u%c", &host, &channel, &target, &lun, &tail) == 4;
    }
    if (!found) {
        int idlun[2] = {0, 0};
        if (ioctl(device.srFd, SCSI_IOCTL_GET_IDLUN, idlun) == 0) {
            const auto id = static_cast<unsigned>(idlun[0]);
            target = id & 0xFF;
            lun = (id >> 8) & 0xFF;
            channel = (id >> 16) & 0xFF;
            host = (id >> 24) & 0xFF;
            found = true;
        }
    }
    if (!found) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    SCSI_ADDRESS address{};
    address.Length = sizeof(SCSI_ADDRESS);
    address.PortNumber = static_cast<UCHAR>(host & 0xFF);
    address.PathId = static_cast<UCHAR>(channel & 0xFF);
    address.TargetId = static_cast<UCHAR>(target & 0xFF);
    address.Lun = static_cast<UCHAR>(lun & 0xFF);
    std::memcpy(out, &address, sizeof address);
    *returned = sizeof address;
    return TRUE;
}

BOOL LinuxPlatform::StorageQuery(Device& device, const void* in, DWORD inSize, void* out,
                                 DWORD outSize, DWORD* returned) {
    StorageQueryKind kind = StorageQueryKind::Exists;
    if (const DWORD error = ReadStorageQuery(in, inSize, out, outSize, &kind);
        error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    if (kind == StorageQueryKind::Exists) {
        return TRUE;
    }
    const std::string dir = SysBlock(device.sr) + "/device/";
    std::string vendor, model, rev;
    if (!ReadLine(dir + "vendor", &vendor) || !ReadLine(dir + "model", &model)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    ReadLine(dir + "rev", &rev);

    STORAGE_BUS_TYPE bus = BusTypeScsi;
    char resolved[PATH_MAX];
    if (realpath((SysBlock(device.sr) + "/device").c_str(), resolved) != nullptr) {
        const std::string where = resolved;
        if (where.find("/usb") != std::string::npos) {
            bus = BusTypeUsb;
        } else if (where.find("/ata") != std::string::npos) {
            bus = BusTypeAtapi;
        }
    }
    *returned = WriteStorageDescriptor(vendor, model, rev, bus, out, outSize);
    return TRUE;
}

BOOL LinuxPlatform::PassThrough(Device& device, const void* in, DWORD inSize, void* out,
                                DWORD outSize, DWORD* returned) {
    SCSI_PASS_THROUGH_DIRECT sptd{};
    if (const DWORD error = ReadPassThrough(in, inSize, out, outSize, &sptd);
        error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    const bool moves = sptd.DataIn == SCSI_IOCTL_DATA_IN || sptd.DataIn == SCSI_IOCTL_DATA_OUT;

    std::uint8_t sense[kSenseCapacity] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmdp = sptd.Cdb;
    io.cmd_len = sptd.CdbLength;
    io.sbp = sense;
    io.mx_sb_len =
        static_cast<unsigned char>(std::min<std::size_t>(sptd.SenseInfoLength, sizeof sense));
    if (moves && sptd.DataTransferLength > 0) {
        io.dxfer_direction =
            sptd.DataIn == SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
        io.dxferp = sptd.DataBuffer;
        io.dxfer_len = sptd.DataTransferLength;
    } else {
        io.dxfer_direction = SG_DXFER_NONE;
    }
    io.timeout = sptd.TimeOutValue * 1000u;  // at most 108,000,000 ms

    int rc = ioctl(device.srFd, SG_IO, &io);
    int error = rc < 0 ? errno : 0;
    if (rc < 0 && (error == EPERM || error == EACCES)) {
        // The block node's command filter refused the command (WRITE BUFFER, vendor commands)
        // before it reached the drive: the generic node opened read-write is not filtered.
        std::lock_guard<std::mutex> lock(device.sgMutex);
        if (device.sgFd < 0 && !device.sgFailed && !device.sgPath.empty()) {
            device.sgFd = open(device.sgPath.c_str(),
                               O_RDWR | O_NONBLOCK | O_CLOEXEC | (device.exclusive ? O_EXCL : 0));
            device.sgFailed = device.sgFd < 0;
            // A stale or planted mapping would send the commands to another drive.
            if (device.sgFd >= 0 && !GenericNodeIsBlockNodesDevice(device.srFd, device.sgFd)) {
                close(device.sgFd);
                device.sgFd = -1;
                device.sgFailed = true;
                hooks_.report(device.sgPath + " is not the device of " + device.srPath +
                              ": no firmware write or vendor command is sent through it");
            }
        }
        if (device.sgFd < 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        rc = ioctl(device.sgFd, SG_IO, &io);
        error = rc < 0 ? errno : 0;
    }
    if (rc < 0) {
        SetLastError(ErrorFromErrno(error));
        return FALSE;
    }
    const unsigned host = io.host_status;
    const unsigned driver = io.driver_status & 0x0F;
    if (host == kDidTimeOut || driver == kDriverTimeout) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    if (host == kDidNoConnect) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (host == kDidBusBusy) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    if (host != 0 || (driver != 0 && driver != kDriverSense)) {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }

    const std::uint32_t resid =
        io.resid > 0 ? std::min<std::uint32_t>(static_cast<std::uint32_t>(io.resid), io.dxfer_len)
                     : 0;
    sptd.DataTransferLength = io.dxfer_len - resid;
    sptd.ScsiStatus = io.status;
    *returned =
        WritePassThroughReply(sptd, sense, std::min<std::size_t>(io.sb_len_wr, sizeof sense), out);
    return TRUE;
}

BOOL LinuxPlatform::CloseHandle(HANDLE hObject) {
    std::shared_ptr<HandleEntry> entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (it == handles_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        entry = std::move(it->second);
        handles_.erase(it);
    }
    // The descriptors close once no request on another thread still uses them.
    return TRUE;
}

std::shared_ptr<LinuxPlatform::Device> LinuxPlatform::DeviceOf(HANDLE handle) const {
    const std::shared_ptr<HandleEntry> entry = FindHandle(handle);
    return entry != nullptr && entry->kind == HandleEntry::Kind::Device ? entry->device : nullptr;
}

int LinuxPlatform::ClaimExclusive(HANDLE device) {
    const std::shared_ptr<Device> d = DeviceOf(device);
    if (d == nullptr) {
        return EBADF;
    }
    std::lock_guard<std::mutex> lock(d->sgMutex);
    if (d->exclusive) {
        return 0;
    }
    const int fd = open(Path("dev/sr" + std::to_string(d->sr)).c_str(),
                        O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    d->exclusiveFd = fd;
    d->exclusive = true;
    // A generic node opened before the claim is opened again, exclusively, when next needed.
    if (d->sgFd >= 0) {
        close(d->sgFd);
        d->sgFd = -1;
    }
    d->sgFailed = false;
    return 0;
}

void LinuxPlatform::ReleaseExclusive(HANDLE device) {
    const std::shared_ptr<Device> d = DeviceOf(device);
    if (d == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(d->sgMutex);
    if (!d->exclusive) {
        return;
    }
    close(d->exclusiveFd);
    d->exclusiveFd = -1;
    d->exclusive = false;
    if (d->sgFd >= 0) {
        close(d->sgFd);
        d->sgFd = -1;
    }
    d->sgFailed = false;
}

bool LinuxPlatform::HeldExclusive(HANDLE device) const {
    const std::shared_ptr<Device> d = DeviceOf(device);
    if (d == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(d->sgMutex);
    return d->exclusive;
}

DWORD LinuxPlatform::GetLastError() {
    return t_lastError;
}

void LinuxPlatform::SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// --- The process heap -------------------------------------------------------------------------

HANDLE LinuxPlatform::GetProcessHeap() {
    return ProcessHeap::Handle();
}

void* LinuxPlatform::HeapAlloc(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes) {
    return heap_.Alloc(hHeap, dwFlags, dwBytes);
}

BOOL LinuxPlatform::HeapFree(HANDLE hHeap, DWORD, void* lpMem) {
    const DWORD error = heap_.Free(hHeap, lpMem);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// --- Libraries --------------------------------------------------------------------------------

HMODULE LinuxPlatform::LoadLibraryA(const char*) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC LinuxPlatform::GetProcAddress(HMODULE, const char*) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL LinuxPlatform::FreeLibrary(HMODULE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

// --- Events -----------------------------------------------------------------------------------

HANDLE LinuxPlatform::CreateEventA(void*, BOOL bManualReset, BOOL bInitialState, const char*) {
    auto entry = std::make_shared<HandleEntry>();
    entry->kind = HandleEntry::Kind::Event;
    entry->event = std::make_shared<Event>();
    entry->event->manualReset = bManualReset != FALSE;
    entry->event->signalled = bInitialState != FALSE;
    HANDLE handle = AddHandle(std::move(entry));
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

DWORD LinuxPlatform::WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const std::shared_ptr<HandleEntry> entry = FindHandle(hHandle);
    if (entry == nullptr || entry->kind != HandleEntry::Kind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    Event& event = *entry->event;
    std::unique_lock<std::mutex> lock(event.mutex);
    const auto signalled = [&] { return event.signalled; };
    if (dwMilliseconds == INFINITE) {
        event.cv.wait(lock, signalled);
    } else if (!event.cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), signalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event.manualReset) {
        event.signalled = false;
    }
    return WAIT_OBJECT_0;
}

// --- Time ---------------------------------------------------------------------------------------

std::int64_t LinuxPlatform::NowNanos() const {
    if (hooks_.monotonicNanos) {
        return hooks_.monotonicNanos();
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

BOOL LinuxPlatform::QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpFrequency->QuadPart = 1'000'000'000;  // the counter counts nanoseconds
    return TRUE;
}

BOOL LinuxPlatform::QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = NowNanos();
    return TRUE;
}

void LinuxPlatform::Sleep(DWORD dwMilliseconds) {
    if (hooks_.sleep) {
        hooks_.sleep(dwMilliseconds);
        return;
    }
    timespec left{static_cast<time_t>(dwMilliseconds / 1000),
                  static_cast<long>(dwMilliseconds % 1000) * 1'000'000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// --- System -----------------------------------------------------------------------------------

BOOL LinuxPlatform::GetVersionExA(OSVERSIONINFOA* lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The NT family: SCSI pass-through is available. The kernel's release stands in the
    // service-pack text.
    OSVERSIONINFOA& info = *lpVersionInformation;
    std::memset(info.szCSDVersion, 0, sizeof info.szCSDVersion);
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    info.dwBuildNumber = 2600;
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    utsname name{};
    if (uname(&name) == 0) {
        const std::string text = std::string(name.sysname) + " " + name.release;
        std::memcpy(info.szCSDVersion, text.data(),
                    std::min(text.size(), sizeof info.szCSDVersion - 1));
    }
    return TRUE;
}

HANDLE LinuxPlatform::GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL LinuxPlatform::OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                     HANDLE* TokenHandle) {
    if (ProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto entry = std::make_shared<HandleEntry>();
    entry->kind = HandleEntry::Kind::Token;
    entry->access = DesiredAccess;
    HANDLE handle = AddHandle(std::move(entry));
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *TokenHandle = handle;
    return TRUE;
}

BOOL LinuxPlatform::LookupPrivilegeValueA(const char*, const char* lpName, LUID* lpLuid) {
    if (const DWORD error = LookupShutdownPrivilege(lpName, lpLuid); error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL LinuxPlatform::AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                          TOKEN_PRIVILEGES* NewState, DWORD BufferLength,
                                          TOKEN_PRIVILEGES* PreviousState, DWORD* ReturnLength) {
    const std::shared_ptr<HandleEntry> token = FindHandle(TokenHandle);
    if (token == nullptr || token->kind != HandleEntry::Kind::Token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool before = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        before = shutdownPrivilegeEnabled_;
    }
    // The shutdown privilege can be enabled when this process may restart the machine.
    const PrivilegeAdjustment adjusted = AdjustShutdownPrivilege(
        token->access, before, DisableAllPrivileges, NewState, BufferLength, PreviousState,
        ReturnLength, [this](bool enable) { return !enable || hooks_.mayRestart(); });
    if (adjusted.error != ERROR_SUCCESS && adjusted.error != ERROR_NOT_ALL_ASSIGNED) {
        SetLastError(adjusted.error);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdownPrivilegeEnabled_ = adjusted.enabled;
    }
    SetLastError(adjusted.error);
    return TRUE;
}

BOOL LinuxPlatform::ExitWindowsEx(UINT uFlags, DWORD) {
    if ((uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // ending the session is not ours to do
        return FALSE;
    }
    bool privileged = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        privileged = shutdownPrivilegeEnabled_;
    }
    if (!privileged) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    const RestartKind kind =
        (uFlags & EWX_REBOOT) != 0 ? RestartKind::Reboot : RestartKind::PowerOff;
    if (!hooks_.restart(kind)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

// --- Named mutexes, execution state, shutdown block reasons ----------------------------------

HANDLE LinuxPlatform::CreateMutexA(void*, BOOL, const char*) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

EXECUTION_STATE LinuxPlatform::SetThreadExecutionState(EXECUTION_STATE) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

BOOL LinuxPlatform::ShutdownBlockReasonCreate(HWND, const WCHAR*) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL LinuxPlatform::ShutdownBlockReasonDestroy(HWND) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

// --- Text and message boxes -------------------------------------------------------------------

int LinuxPlatform::CompareStringA(LCID, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                                  const char* lpString2, int cchCount2) {
    DWORD error = ERROR_SUCCESS;
    const int result =
        CollateStrings(dwCmpFlags, lpString1, cchCount1, lpString2, cchCount2, &error);
    if (result == 0) {
        SetLastError(error);
    }
    return result;
}

int LinuxPlatform::MessageBoxA(HWND, const char* lpText, const char* lpCaption, UINT uType) {
    return hooks_.messageBox(lpText, lpCaption, uType);
}

// --- For tests --------------------------------------------------------------------------------

int LinuxPlatform::OpenHandleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(handles_.size());
}

int LinuxPlatform::HeapBlockCount() const {
    return heap_.BlockCount();
}

bool LinuxPlatform::UsedGenericNode(HANDLE device) const {
    const std::shared_ptr<HandleEntry> entry = FindHandle(device);
    if (entry == nullptr || entry->kind != HandleEntry::Kind::Device) {
        return false;
    }
    std::lock_guard<std::mutex> lock(entry->device->sgMutex);
    return entry->device->sgFd >= 0;
}

}  // namespace quiver
