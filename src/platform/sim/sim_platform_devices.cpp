// The emulated PC's drives: the drive strings and types, opening a drive's device, the SCSI
// address, storage and pass-through requests, and closing handles.
#include <cctype>
#include <cstring>

#include "platform/device_requests.h"
#include "platform/sim/sim_platform_detail.h"

namespace quiver {

namespace {

bool IsDriveLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// "E:\" or "E:" names the root of drive E.
bool RootLetter(const char* root, char* letter) {
    if (root == nullptr || !IsDriveLetter(root[0]) || root[1] != ':') {
        return false;
    }
    if (root[2] != '\0' && !(root[2] == '\\' && root[3] == '\0')) {
        return false;
    }
    *letter = root[0];
    return true;
}

// "\\.\E:" names the device of drive E.
bool DevicePathLetter(const char* path, char* letter) {
    if (path == nullptr || std::strncmp(path, "\\\\.\\", 4) != 0) {
        return false;
    }
    if (!IsDriveLetter(path[4]) || path[5] != ':' || path[6] != '\0') {
        return false;
    }
    *letter = path[4];
    return true;
}

}  // namespace

// --- Drive strings, types and device access -------------------------------------------------

DWORD SimPlatform::GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer) {
    std::string letters;
    for (const sim::Letter& entry : machine_.letters) {
        letters.push_back(
            static_cast<char>(std::toupper(static_cast<unsigned char>(entry.letter))));
    }
    std::sort(letters.begin(), letters.end());
    letters.erase(std::unique(letters.begin(), letters.end()), letters.end());

    std::vector<std::string> roots;
    for (char letter : letters) {
        roots.push_back(std::string(1, letter) + ":\\");
    }
    return CopyDriveStrings(roots, nBufferLength, lpBuffer);
}

UINT SimPlatform::GetDriveTypeA(const char* lpRootPathName) {
    char letter = 0;
    if (!RootLetter(lpRootPathName, &letter)) {
        return DRIVE_NO_ROOT_DIR;
    }
    const sim::Letter* entry = machine_.FindLetter(letter);
    return entry == nullptr ? DRIVE_NO_ROOT_DIR : static_cast<UINT>(entry->type);
}

HANDLE SimPlatform::CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD, void*,
                                DWORD dwCreationDisposition, DWORD, HANDLE) {
    char letter = 0;
    const sim::Letter* entry = nullptr;
    if (DevicePathLetter(lpFileName, &letter)) {
        entry = machine_.FindLetter(letter);
    }
    const bool opens = entry != nullptr && entry->type == sim::LetterType::CdRom &&
                       !entry->openFails && entry->drive >= 0 &&
                       static_cast<std::size_t>(entry->drive) < machine_.DriveCount() &&
                       !machine_.drive(static_cast<std::size_t>(entry->drive)).Vanished();
    if (!opens) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {  // devices are only ever opened
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (machine_.locks().VolumeHolder(static_cast<std::size_t>(entry->drive)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);  // the volume is locked
        return INVALID_HANDLE_VALUE;
    }
    auto handle = std::make_unique<HandleEntry>();
    handle->kind = HandleEntry::Kind::Device;
    handle->letter = entry->letter;
    handle->drive = entry->drive;
    handle->access = dwDesiredAccess;
    HANDLE result = AddHandle(std::move(handle));
    if (result == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return result;
}

BOOL SimPlatform::DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer,
                                  DWORD nInBufferSize, void* lpOutBuffer, DWORD nOutBufferSize,
                                  DWORD* lpBytesReturned, void*) {
    DWORD returned = 0;
    DWORD* out = lpBytesReturned != nullptr ? lpBytesReturned : &returned;
    *out = 0;

    HandleEntry device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hDevice));
        if (it == handles_.end() || it->second->kind != HandleEntry::Kind::Device) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        device = *it->second;
    }
    const auto drive = static_cast<std::size_t>(device.drive);
    const auto self = reinterpret_cast<std::uintptr_t>(hDevice);
    switch (dwIoControlCode) {
        case FSCTL_LOCK_VOLUME:
            if (!machine_.locks().LockVolume(drive, self)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            return TRUE;
        case FSCTL_UNLOCK_VOLUME:
            if (!machine_.locks().UnlockVolume(drive, self)) {
                SetLastError(ERROR_NOT_LOCKED);
                return FALSE;
            }
            return TRUE;
        default:
            break;
    }
    // A locked volume answers only the handle that locked it.
    const std::uintptr_t holder = machine_.locks().VolumeHolder(drive);
    if (holder != 0 && holder != self) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
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

BOOL SimPlatform::ScsiGetAddress(const HandleEntry& device, void* out, DWORD outSize,
                                 DWORD* returned) {
    const sim::Letter* entry = machine_.FindLetter(device.letter);
    if (entry == nullptr || machine_.drive(static_cast<std::size_t>(device.drive)).Vanished()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (out == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SCSI_ADDRESS address{};
    switch (entry->addressReply) {
        case sim::AddressReply::Fails:
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        case sim::AddressReply::ZeroLength:
            address.Length = 0;
            break;
        case sim::AddressReply::Address:
            address.Length = sizeof(SCSI_ADDRESS);
            address.PortNumber = entry->port;
            address.PathId = entry->path;
            address.TargetId = entry->target;
            address.Lun = entry->lun;
            break;
    }
    std::memcpy(out, &address, sizeof address);
    *returned = sizeof address;
    return TRUE;
}

BOOL SimPlatform::StorageQuery(const HandleEntry& device, const void* in, DWORD inSize, void* out,
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
    sim::Drive& drive = machine_.drive(static_cast<std::size_t>(device.drive));
    if (drive.Vanished()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    *returned = WriteStorageDescriptor(drive.config().vendor, drive.config().product,
                                       drive.Revision(), BusTypeAtapi, out, outSize);
    return TRUE;
}

BOOL SimPlatform::PassThrough(const HandleEntry& device, const void* in, DWORD inSize, void* out,
                              DWORD outSize, DWORD* returned) {
    SCSI_PASS_THROUGH_DIRECT sptd{};
    if (const DWORD error = ReadPassThrough(in, inSize, out, outSize, &sptd);
        error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    sim::Drive& drive = machine_.drive(static_cast<std::size_t>(device.drive));
    if (drive.Vanished()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }

    sim::DataDir dir = sim::DataDir::None;
    if (sptd.DataIn == SCSI_IOCTL_DATA_IN) {
        dir = sim::DataDir::In;
    } else if (sptd.DataIn == SCSI_IOCTL_DATA_OUT) {
        dir = sim::DataDir::Out;
    }
    auto* data = dir == sim::DataDir::None ? nullptr : static_cast<std::uint8_t*>(sptd.DataBuffer);
    const std::int64_t start = machine_.clock.NowNanos();
    const sim::CommandResult result =
        drive.Execute(sptd.Cdb, sptd.CdbLength, dir, data, sptd.DataTransferLength);
    const std::int64_t took = machine_.clock.NowNanos() - start;

    if (took > static_cast<std::int64_t>(sptd.TimeOutValue) * 1'000'000'000) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    if (result.completion == sim::Completion::TransportFailure) {
        SetLastError(result.vanished ? ERROR_DEVICE_NOT_CONNECTED : ERROR_IO_DEVICE);
        return FALSE;
    }
    sptd.DataTransferLength = result.transferred;
    const bool checked = result.completion == sim::Completion::CheckCondition;
    sptd.ScsiStatus = checked ? 2 : 0;
    const sim::SenseData& sense = result.senseData;
    *returned = WritePassThroughReply(sptd, sense.bytes.data(), checked ? sense.length : 0, out);
    return TRUE;
}

BOOL SimPlatform::CloseHandle(HANDLE hObject) {
    std::unique_ptr<HandleEntry> entry;
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
    if (entry->kind == HandleEntry::Kind::Event) {
        machine_.CloseEvent(entry->event);
    } else if (entry->kind == HandleEntry::Kind::Mutex && !entry->name.empty()) {
        machine_.locks().CloseMutex(entry->name);
    } else if (entry->kind == HandleEntry::Kind::Device) {
        // Closing the handle that locked the volume unlocks it.
        machine_.locks().UnlockVolume(static_cast<std::size_t>(entry->drive),
                                      reinterpret_cast<std::uintptr_t>(hObject));
    }
    return TRUE;
}

}  // namespace quiver
