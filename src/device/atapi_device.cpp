// The drive object: construction and route choice, the ASPI manager's lifetime, the drive table
// and the selection.
#include "device/atapi_device.h"

#include <cstring>
#include <new>

#include "platform/application_tag.h"
#include "platform/drive_access.h"
#include "platform/platform.h"

namespace quiver {

namespace {

constexpr DWORD kHeapZeroMemory = 0x00000008;

}  // namespace

TransferBuffer TransferBuffer::Allocate(std::uint32_t bytes) {
    TransferBuffer buffer;
    if (!HasPlatform()) {
        // A system without the Win32-shaped platform has no process heap of its own to ask.
        buffer.block_ = std::unique_ptr<std::uint8_t, HeapFree>(
            new (std::nothrow) std::uint8_t[bytes](), HeapFree{true});
        buffer.capacity_ = buffer.block_ ? bytes : 0;
        return buffer;
    }
    Platform& os = Os();
    HANDLE heap = os.GetProcessHeap();
    if (heap != nullptr) {
        buffer.block_ = std::unique_ptr<std::uint8_t, HeapFree>(
            static_cast<std::uint8_t*>(os.HeapAlloc(heap, kHeapZeroMemory, bytes)),
            HeapFree{false});
        buffer.capacity_ = buffer.block_ ? bytes : 0;
    }
    return buffer;
}

void TransferBuffer::HeapFree::operator()(std::uint8_t* block) const {
    if (freeStore) {
        delete[] block;
        return;
    }
    Platform& os = Os();
    os.HeapFree(os.GetProcessHeap(), 0, block);
}

AtapiDevice::AtapiDevice(bool scan)
    : readBuffer_(TransferBuffer::Allocate(kTransferBufferBytes)),
      writeBuffer_(TransferBuffer::Allocate(kTransferBufferBytes)) {
    // Nothing selected, no library, default time limit, no handle, mark clear, no identity, a
    // zero last-command record: the members start so. An object without its transfer buffers
    // could move no data to or from a drive: it is not made at all, and its maker reports that.
    if (readBuffer_.capacity() == 0 || writeBuffer_.capacity() == 0) {
        throw std::bad_alloc();
    }

    // A system that names its drives itself is reached through its own drive access only.
    native_ = NativeDrives();
    if (native_ != nullptr) {
        if (scan) {
            Scan();
        }
        return;
    }

    // The route: the ASPI manager on NT only when the application permits it and the
    // manager answers; every system without pass-through takes the ASPI route.
    useAspi_ = ApplicationTag() == kAspiPermittedTag;
    aspiUsable_ = ProbeAspi();
    useAspi_ = useAspi_ && aspiUsable_;
    if (!osInfo_.IsNTFamily()) {
        useAspi_ = true;
    }

    // Only an object on the ASPI route keeps the manager loaded.
    UnloadAspi();
    if (useAspi_) {
        LoadAspi();
    }

    if (scan) {
        Scan();
    }
}

AtapiDevice::~AtapiDevice() {
    aspi_.Close(readBuffer_, writeBuffer_);
    ReleaseDrive();
}

bool AtapiDevice::ProbeAspi() {
    return AspiTransport::Probe();
}

bool AtapiDevice::LoadAspi() {
    return aspi_.Load();
}

void AtapiDevice::UnloadAspi() {
    aspi_.Unload();
}

void AtapiDevice::ClearAddress() {
    adapter_ = -1;
    target_ = -1;
    lun_ = -1;
    pathId_ = -1;
}

const DriveRecord* AtapiDevice::RecordAt(int index) const {
    const auto i = static_cast<unsigned>(index);
    if (i >= recordCount_ || i >= static_cast<unsigned>(kMaxDrives) || table_[i].in_use == 0) {
        return nullptr;
    }
    return &table_[i];
}

DriveRecord* AtapiDevice::RecordAt(int index) {
    return const_cast<DriveRecord*>(static_cast<const AtapiDevice*>(this)->RecordAt(index));
}

bool AtapiDevice::SelectDrive(int index) {
    // A failed selection (-1) is no selection: asking for -1 again does not succeed.
    if (index >= 0 && index == selectedIndex_) {
        return true;
    }
    if (index < 0 || index >= kMaxDrives || table_[index].in_use == 0) {
        return false;
    }
    if (deviceHandle_ != nullptr || nativeDrive_) {
        ReleaseDrive();
    }
    const DriveRecord& record = table_[index];
    useAspi_ = record.found_through_aspi != 0;
    selectedIndex_ = static_cast<std::int16_t>(index);
    adapter_ = record.adapter;
    target_ = record.target_id;
    lun_ = record.lun;
    pathId_ = record.path_id;
    std::memcpy(vendor_, record.vendor, sizeof vendor_);
    std::memcpy(product_, record.product, sizeof product_);
    std::memcpy(revision_, record.revision, sizeof revision_);
    std::memcpy(vendorSpecific_, record.vendor_specific, sizeof vendorSpecific_);
    vendor_[sizeof vendor_ - 1] = product_[sizeof product_ - 1] = '\0';
    revision_[sizeof revision_ - 1] = vendorSpecific_[sizeof vendorSpecific_ - 1] = '\0';

    if (native_ != nullptr) {
        std::string problem;
        nativeDrive_ = native_->Open(
            std::string(record.device_name, strnlen(record.device_name, sizeof record.device_name)),
            &problem);
        if (!nativeDrive_) {
            selectedIndex_ = kSelectionFailed;
            ClearAddress();
            return false;
        }
        return true;
    }

    if (osInfo_.IsNTFamily() && !useAspi_) {
        char path[8] = "\\\\.\\";
        path[4] = record.root_path[0];
        path[5] = record.root_path[0] != '\0' ? record.root_path[1] : '\0';
        path[6] = '\0';
        HANDLE handle =
            Os().CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
            selectedIndex_ = kSelectionFailed;
            ClearAddress();
            deviceHandle_ = nullptr;
            return false;
        }
        deviceHandle_ = handle;
    }
    return true;
}

void AtapiDevice::ReleaseDrive() {
    if (nativeDrive_) {
        std::string missing = nativeDrive_->MissingAccess();
        if (!missing.empty()) {
            driveMissingAccess_ = std::move(missing);
        }
        nativeDrive_.reset();
    }
    if (deviceHandle_ != nullptr) {
        Os().CloseHandle(deviceHandle_);
    }
    ClearAddress();
    deviceHandle_ = nullptr;
    selectedIndex_ = kNoSelection;
}

void AtapiDevice::CopyFrom(const AtapiDevice& source) {
    if (&source == this) {
        return;
    }
    // A handle of our own would be lost by the copy: close it first.
    nativeDrive_.reset();
    driveMissingAccess_.clear();
    if (deviceHandle_ != nullptr) {
        Os().CloseHandle(deviceHandle_);
    }
    timeLimit_ = source.timeLimit_;
    adapter_ = source.adapter_;
    target_ = source.target_;
    lun_ = source.lun_;
    pathId_ = source.pathId_;
    useAspi_ = source.useAspi_;
    aspiUsable_ = source.aspiUsable_;
    recordCount_ = source.recordCount_;
    transferMark_ = source.transferMark_;
    std::memcpy(vendor_, source.vendor_, sizeof vendor_);
    std::memcpy(product_, source.product_, sizeof product_);
    std::memcpy(revision_, source.revision_, sizeof revision_);
    std::memcpy(vendorSpecific_, source.vendorSpecific_, sizeof vendorSpecific_);
    std::memcpy(table_, source.table_, sizeof table_);
    native_ = source.native_;
    deviceHandle_ = nullptr;
    selectedIndex_ = kNoSelection;
}

std::string AtapiDevice::MissingAccess() const {
    if (nativeDrive_) {
        std::string line = nativeDrive_->MissingAccess();
        if (!line.empty()) {
            return line;
        }
    }
    return driveMissingAccess_;
}

}  // namespace quiver
