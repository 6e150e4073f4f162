// The Linux platform's drives: the drive strings and types, opening a drive, the SCSI address,
// storage and pass-through requests on SG_IO, closing handles, and the exclusive claim.
#include <dirent.h>
#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/device_requests.h"
#include "platform/linux/linux_platform_detail.h"

namespace quiver {

using linux_detail::ErrorFromErrno;
using linux_detail::ReadLine;

namespace {

// Sense bytes SG_IO may return; the caller gets as many as it asked for.
constexpr std::size_t kSenseCapacity = 64;
// host_status and driver_status values of the SCSI midlayer.
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidBusBusy = 0x02;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

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

}  // namespace

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

}  // namespace quiver
