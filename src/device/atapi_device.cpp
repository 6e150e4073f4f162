// The drive object: construction and route choice, the ASPI manager's lifetime, the drive table
// and the selection.
#include "device/atapi_device.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/application_tag.h"
#include "platform/platform.h"

namespace quiver {

namespace {

// Requests and buffers that an ASPI manager still held when their drive object went away. They
// are kept for the life of the process: the manager may still write into them.
struct Abandoned {
    std::mutex mutex;
    std::vector<std::uint8_t*> buffers;  // heap blocks, never given back
    std::vector<std::unique_ptr<SRB_ExecSCSICmd>> requests;
};

Abandoned& AbandonedStore() {
    static Abandoned* store = new Abandoned;  // never destroyed: the manager may outlive us
    return *store;
}

constexpr DWORD kHeapZeroMemory = 0x00000008;

// The transfer buffers come from the process heap, zeroed; null when it has no room.
std::uint8_t* NewTransferBuffer() {
    Platform& os = Os();
    HANDLE heap = os.GetProcessHeap();
    return heap == nullptr ? nullptr
                           : static_cast<std::uint8_t*>(
                                 os.HeapAlloc(heap, kHeapZeroMemory, kTransferBufferBytes));
}

void FreeTransferBuffer(std::uint8_t* buffer) {
    if (buffer != nullptr) {
        Platform& os = Os();
        os.HeapFree(os.GetProcessHeap(), 0, buffer);
    }
}

}  // namespace

AtapiDevice::AtapiDevice(bool scan) {
    // Nothing selected, no library, default time limit, no handle, mark clear, no identity.
    ClearAddress();
    selectedIndex_ = kNoSelection;
    aspiLibrary_ = nullptr;
    timeLimit_ = kDefaultTimeLimit;
    deviceHandle_ = nullptr;
    transferMark_ = false;

    // The transfer buffers. An object that cannot have them could move no data to or from a
    // drive: it is not made at all, and its maker reports that.
    readBuffer_ = NewTransferBuffer();
    writeBuffer_ = NewTransferBuffer();
    aspiBlock_ = new (std::nothrow) SRB_ExecSCSICmd();
    if (readBuffer_ == nullptr || writeBuffer_ == nullptr || aspiBlock_ == nullptr) {
        FreeTransferBuffer(readBuffer_);
        FreeTransferBuffer(writeBuffer_);
        delete aspiBlock_;
        throw std::bad_alloc();
    }
    readCapacity_ = kTransferBufferBytes;
    writeCapacity_ = kTransferBufferBytes;

    // Last-command record and flash result.
    last_ = LastCommand{};
    flashResult_ = kFlashSucceeded;

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
    if (aspiStranded_) {
        // The manager still owns a request that points into these: keep them, and keep the
        // manager loaded, for the rest of the process.
        Abandoned& store = AbandonedStore();
        std::lock_guard<std::mutex> lock(store.mutex);
        store.buffers.emplace_back(readBuffer_);
        store.buffers.emplace_back(writeBuffer_);
        store.requests.emplace_back(aspiBlock_);
        aspiLibrary_ = nullptr;
        getSupportInfo_ = nullptr;
        sendCommand_ = nullptr;
    } else {
        FreeTransferBuffer(readBuffer_);
        FreeTransferBuffer(writeBuffer_);
        delete aspiBlock_;
    }
    readBuffer_ = writeBuffer_ = nullptr;
    readCapacity_ = writeCapacity_ = 0;
    aspiBlock_ = nullptr;
    UnloadAspi();
    ReleaseDrive();
}

void AtapiDevice::ClearAddress() {
    adapter_ = -1;
    target_ = -1;
    lun_ = -1;
    pathId_ = -1;
}

bool AtapiDevice::ProbeAspi() {
    Platform& os = Os();
    HMODULE library = os.LoadLibraryA(kAspiLibraryName);
    if (library == nullptr) {
        return false;
    }
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(
        os.GetProcAddress(library, "GetASPI32SupportInfo"));
    auto send =
        reinterpret_cast<SendASPI32CommandFn>(os.GetProcAddress(library, "SendASPI32Command"));
    if (support == nullptr || send == nullptr) {
        os.FreeLibrary(library);
        return false;
    }
    const BYTE status = static_cast<BYTE>((support() >> 8) & 0xFF);
    os.FreeLibrary(library);
    return status == SS_COMP;
}

bool AtapiDevice::LoadAspi() {
    Platform& os = Os();
    const char* text = nullptr;
    const char* caption = nullptr;

    aspiLibrary_ = os.LoadLibraryA(kAspiLibraryName);
    if (aspiLibrary_ == nullptr) {
        text = "LoadLibrary:\nWNASPI32.DLL not found.";
        caption = "Error FS 002";
    } else {
        getSupportInfo_ = reinterpret_cast<GetASPI32SupportInfoFn>(
            os.GetProcAddress(aspiLibrary_, "GetASPI32SupportInfo"));
        if (getSupportInfo_ == nullptr) {
            text = "GetProcAddress:\nGetASPI32SupportInfo not fount.";
            caption = "Error FS 003";
        } else {
            sendCommand_ = reinterpret_cast<SendASPI32CommandFn>(
                os.GetProcAddress(aspiLibrary_, "SendASPI32Command"));
            if (sendCommand_ == nullptr) {
                text = "GetProcAddress:\npfnSendASPI32Command not found.";
                caption = "Error FS 004";
            } else {
                const BYTE status = static_cast<BYTE>((getSupportInfo_() >> 8) & 0xFF);
                caption = "GetASPISupportInfo:";
                switch (status) {
                    case SS_COMP:
                        return true;
                    case SS_NO_ASPI:
                        text = "Could not find the ASPI manager.";
                        break;
                    case SS_ILLEGAL_MODE:
                        text = "ASPI for Windows does not support real mode.";
                        break;
                    case SS_OLD_MANAGER:
                        text = "Old ASPI manager.";
                        break;
                    default:
                        text = "Error initializing ASPI.";
                        break;
                }
            }
        }
    }

    os.MessageBoxA(nullptr, text, caption, MB_ICONERROR | MB_OK);
    if (aspiLibrary_ != nullptr) {
        os.FreeLibrary(aspiLibrary_);
    }
    aspiLibrary_ = nullptr;
    getSupportInfo_ = nullptr;
    sendCommand_ = nullptr;
    return false;
}

void AtapiDevice::UnloadAspi() {
    if (aspiLibrary_ != nullptr) {
        Os().FreeLibrary(aspiLibrary_);
    }
    aspiLibrary_ = nullptr;
    getSupportInfo_ = nullptr;
    sendCommand_ = nullptr;
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
    if (deviceHandle_ != nullptr) {
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
    deviceHandle_ = nullptr;
    selectedIndex_ = kNoSelection;
}

}  // namespace quiver
