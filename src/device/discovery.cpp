// Drive discovery: every optical drive on the object's route, sorted by address, with its
// identity read by INQUIRY.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "device/atapi_device.h"
#include "device/command_set.h"
#include "platform/drive_access.h"
#include "platform/platform.h"

namespace quiver {

namespace {

constexpr DWORD kHeapZeroMemory = 0x00000008;
constexpr std::uint8_t kSerialNumberPage = 0x80;
constexpr std::uint8_t kSerialPageBytes = 0x60;
constexpr std::uint32_t kIdentityReplyBytes = 36;  // through the revision

std::int32_t AddressKey(const DriveRecord& r) {
    return static_cast<std::int32_t>(r.adapter) * 4096 +
           static_cast<std::int32_t>(r.path_id) * 256 +
           static_cast<std::int32_t>(r.target_id) * 16 + static_cast<std::int32_t>(r.lun);
}

// "\\.\E:" for the root "E:\".
void DevicePath(const char* root, char (&path)[8]) {
    std::memcpy(path, "\\\\.\\", 4);
    path[4] = root[0];
    path[5] = root[0] != '\0' ? root[1] : '\0';
    path[6] = '\0';
    path[7] = '\0';
}

HANDLE OpenDevice(const char* root) {
    char path[8];
    DevicePath(root, path);
    HANDLE handle =
        Os().CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// The drive string list of the system, in a zeroed block of the process heap. Calls `each` for
// every root string. Returns false when the heap or the block cannot be had; an empty list
// counts as success.
template <typename Each>
bool WalkDriveStrings(Each each) {
    Platform& os = Os();
    const DWORD size = os.GetLogicalDriveStringsA(0, nullptr);
    if (size == 0) {
        return true;
    }
    HANDLE heap = os.GetProcessHeap();
    if (heap == nullptr) {
        return false;
    }
    // One zero more than asked for, so that the walk always ends inside the block.
    struct GiveBack {
        HANDLE heap;
        void operator()(char* block) const { Os().HeapFree(heap, 0, block); }
    };
    const std::unique_ptr<char, GiveBack> owned(
        static_cast<char*>(os.HeapAlloc(heap, kHeapZeroMemory, std::size_t{size} + 1)),
        GiveBack{heap});
    char* const block = owned.get();
    if (block == nullptr) {
        return false;
    }
    const DWORD written = os.GetLogicalDriveStringsA(size, block);
    // A list that grew between the two calls is not in the block: treat it as empty.
    if (written != 0 && written < size) {
        const char* end = block + size;
        for (const char* root = block; root < end && *root != '\0';) {
            const std::size_t length = strnlen(root, static_cast<std::size_t>(end - root));
            if (!each(root)) {
                break;
            }
            root += length + 1;
        }
    }
    return true;
}

BYTE SendAndStatus(SendASPI32CommandFn send, void* srb, BYTE& status) {
    send(srb);
    return std::atomic_ref<BYTE>(status).load(std::memory_order_acquire);
}

}  // namespace

void AtapiDevice::Scan() {
    for (;;) {
        std::memset(table_, 0, sizeof table_);
        recordCount_ = 0;
        if (native_ != nullptr) {
            ScanNative();
        } else if (useAspi_) {
            ScanAspi();
        } else {
            ScanPassThrough();
        }
        MergeRecordsOfOneDrive();
        for (DriveRecord& record : table_) {
            if (record.in_use != 0) {
                ++recordCount_;
                record.found_through_aspi = useAspi_ ? 1 : 0;
            }
        }
        // The ASPI manager misses optical drives that the system has letters for: look again
        // through pass-through. The second pass cannot fall back again.
        if (useAspi_ && osInfo_.IsNTFamily() && CountOpticalLetters() > recordCount_) {
            useAspi_ = false;
            UnloadAspi();
            continue;
        }
        break;
    }

    SortRecords();

    for (int j = 0; j < kMaxDrives && table_[j].in_use != 0; ++j) {
        if (native_ != nullptr && table_[j].access_problem[0] != '\0') {
            continue;  // listed as present, but it cannot be asked anything
        }
        SelectDrive(j);
        ClearUnitAttention();
        for (int attempt = 0; attempt < kIdentityAttempts; ++attempt) {
            if (ReadIdentity()) {
                TakeIdentityInto(table_[j]);
                if (ReadSerialNumberRetried()) {
                    table_[j].serial_length = serialLength_;
                    std::memcpy(table_[j].serial_number, serial_, sizeof serial_);
                } else {
                    table_[j].serial_length = kSerialNumberUnread;
                }
                break;
            }
        }
        ReadFlashId();
        ReleaseDrive();
    }
}

void AtapiDevice::ScanPassThrough() {
    int i = 0;
    std::int16_t made_up = 0;
    WalkDriveStrings([&](const char* root) {
        if (Os().GetDriveTypeA(root) != DRIVE_CDROM) {
            return true;
        }
        if (i >= kMaxDrives) {
            return false;  // the table is full: the first 16 optical letters are kept
        }
        DriveRecord& record = table_[i];
        std::strncpy(record.root_path, root, sizeof record.root_path - 1);
        record.root_path[sizeof record.root_path - 1] = '\0';
        record.found_through_aspi = 0;
        SCSI_ADDRESS address{};
        switch (QueryScsiAddress(root, &address)) {
            case AddressResult::WithAddress:
                record.in_use = 1;
                record.address_reported = 1;
                record.adapter = address.PortNumber;
                record.target_id = address.TargetId;
                record.lun = address.Lun;
                record.path_id = address.PathId;
                break;
            case AddressResult::WithoutAddress:
                record.in_use = 1;
                record.adapter = static_cast<std::int16_t>(made_up + 2);
                record.target_id = 0;
                record.lun = 0;
                record.path_id = 0;
                ++made_up;
                break;
            case AddressResult::NotFound:
                break;
        }
        QueryStorageDescriptor(root);
        ++i;
        return true;
    });
}

void AtapiDevice::ScanNative() {
    scanMissingAccess_.clear();
    int i = 0;
    std::int16_t made_up = 0;
    for (const DriveEntry& entry : native_->ListDrives()) {
        if (i >= kMaxDrives) {
            break;  // the table is full: the first 16 drives are kept
        }
        DriveRecord& record = table_[i++];
        record.in_use = 1;
        std::strncpy(record.device_name, entry.name.c_str(), sizeof record.device_name - 1);
        if (entry.host >= 0 && entry.channel >= 0 && entry.target >= 0 && entry.lun >= 0) {
            record.address_reported = 1;
            record.adapter = static_cast<std::int16_t>(entry.host);
            record.path_id = static_cast<std::int16_t>(entry.channel);
            record.target_id = static_cast<std::int16_t>(entry.target);
            record.lun = static_cast<std::int16_t>(entry.lun);
        } else {
            record.adapter = static_cast<std::int16_t>(made_up + 2);
            ++made_up;
        }
        if (!entry.problem.empty()) {
            std::strncpy(record.access_problem, entry.problem.c_str(),
                         sizeof record.access_problem - 1);
            if (scanMissingAccess_.empty()) {
                scanMissingAccess_ = entry.missingAccess;
            }
        }
    }
}

AtapiDevice::AddressResult AtapiDevice::QueryScsiAddress(const char* root, SCSI_ADDRESS* address) {
    HANDLE handle = OpenDevice(root);
    if (handle == nullptr) {
        return AddressResult::NotFound;
    }
    SCSI_ADDRESS reply{};
    DWORD returned = 0;
    const BOOL ok = Os().DeviceIoControl(handle, IOCTL_SCSI_GET_ADDRESS, &reply, sizeof reply,
                                         &reply, sizeof reply, &returned, nullptr);
    Os().CloseHandle(handle);
    if (!ok) {
        return AddressResult::WithoutAddress;
    }
    if (reply.Length == 0) {
        return AddressResult::NotFound;
    }
    *address = reply;
    return AddressResult::WithAddress;
}

bool AtapiDevice::QueryStorageDescriptor(const char* root) {
    HANDLE handle = OpenDevice(root);
    if (handle == nullptr) {
        return false;
    }
    STORAGE_DEVICE_DESCRIPTOR area{};  // zero: a standard query of the device property
    static_assert(sizeof area == kStorageQueryAreaSize);
    DWORD returned = 0;
    const BOOL ok = Os().DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &area, sizeof area,
                                         &area, sizeof area, &returned, nullptr);
    Os().CloseHandle(handle);
    return ok != FALSE;
}

std::int16_t AtapiDevice::CountOpticalLetters() {
    std::int32_t count = 0;
    if (!WalkDriveStrings([&](const char* root) {
            if (Os().GetDriveTypeA(root) == DRIVE_CDROM && count < 32767) {
                ++count;
            }
            return true;
        })) {
        return -1;
    }
    return static_cast<std::int16_t>(count);
}

void AtapiDevice::ScanAspi() {
    const SendASPI32CommandFn send = aspi_.SendCommand();
    if (send == nullptr) {
        return;  // the manager did not load: nothing to ask
    }
    SRB_HAInquiry inquiry{};
    inquiry.SRB_Cmd = SC_HA_INQUIRY;
    inquiry.SRB_HaId = 0;
    if (SendAndStatus(send, &inquiry, inquiry.SRB_Status) != SS_COMP) {
        return;
    }
    const int adapters = inquiry.HA_Count;

    for (int a = 0; a < adapters; ++a) {
        SRB_RescanPort rescan{};
        rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
        rescan.SRB_HaId = static_cast<BYTE>(a);
        SendAndStatus(send, &rescan, rescan.SRB_Status);
    }

    int i = 0;
    for (int a = 0; a < adapters; ++a) {
        inquiry = SRB_HAInquiry{};
        inquiry.SRB_Cmd = SC_HA_INQUIRY;
        inquiry.SRB_HaId = static_cast<BYTE>(a);
        if (SendAndStatus(send, &inquiry, inquiry.SRB_Status) != SS_COMP) {
            return;
        }
        for (int t = 0; t < 16; ++t) {
            for (int l = 0; l < 8; ++l) {
                SRB_GDEVBlock device{};
                device.SRB_Cmd = SC_GET_DEV_TYPE;
                device.SRB_HaId = static_cast<BYTE>(a);
                device.SRB_Target = static_cast<BYTE>(t);
                device.SRB_Lun = static_cast<BYTE>(l);
                if (SendAndStatus(send, &device, device.SRB_Status) != SS_COMP ||
                    device.SRB_DeviceType != DTYPE_CDROM) {
                    continue;
                }
                if (i >= kMaxDrives) {
                    return;  // the table is full: the first 16 devices are kept
                }
                DriveRecord& record = table_[i++];
                record.in_use = 1;
                record.adapter = static_cast<std::int16_t>(a);
                record.target_id = static_cast<std::int16_t>(t);
                record.lun = static_cast<std::int16_t>(l);
                record.path_id = 0;
                record.address_reported = 1;
            }
        }
    }
}

void AtapiDevice::SortRecords() {
    DriveRecord sorted[kMaxDrives] = {};
    bool taken[kMaxDrives] = {};
    for (int n = 0; n < kMaxDrives; ++n) {
        int best = -1;
        for (int i = 0; i < kMaxDrives; ++i) {
            if (table_[i].in_use == 0 || taken[i]) {
                continue;
            }
            if (best < 0 || AddressKey(table_[i]) < AddressKey(table_[best])) {
                best = i;
            }
        }
        if (best < 0) {
            break;
        }
        sorted[n] = table_[best];
        taken[best] = true;
    }
    std::memcpy(table_, sorted, sizeof table_);
}

void AtapiDevice::MergeRecordsOfOneDrive() {
    for (int i = 0; i < kMaxDrives; ++i) {
        for (int j = i + 1; j < kMaxDrives; ++j) {
            if (SameDrive(table_[i], table_[j])) {
                table_[j] = DriveRecord{};
            }
        }
    }
}

bool AtapiDevice::ReadIdentity() {
    std::memset(vendor_, 0, sizeof vendor_);
    std::memset(product_, 0, sizeof product_);
    std::memset(revision_, 0, sizeof revision_);
    std::memset(vendorSpecific_, 0, sizeof vendorSpecific_);
    // The transport leaves the buffer beyond a reply as it was: a drive that answers with
    // fewer bytes must not be given an earlier command's data as its revision or texts.
    constexpr std::uint32_t kReplyBytes = 0x60;
    if (readBuffer_.capacity() >= kReplyBytes) {
        std::memset(readBuffer_.data(), 0, kReplyBytes);
    }
    if (!Inquiry(0, 0, 0, kReplyBytes, 0)) {
        return false;
    }
    // Bytes the drive did not return are still an earlier reply's, perhaps another drive's: a
    // reply that ends before the revision does is no identity, and the vendor-specific text
    // takes only what came.
    const std::uint32_t got = last_.transferred;
    if (got < kIdentityReplyBytes) {
        return false;
    }
    const std::uint8_t* reply = readBuffer_.data();
    std::memcpy(vendor_, reply + 8, 8);
    std::memcpy(product_, reply + 16, 16);
    std::memcpy(revision_, reply + 32, 4);
    std::memcpy(vendorSpecific_, reply + kIdentityReplyBytes,
                std::min<std::uint32_t>(got - kIdentityReplyBytes, 16));
    for (int i = 8; i < 32; ++i) {
        if (reply[i] != 0) {
            return true;
        }
    }
    return false;
}

bool AtapiDevice::RefreshIdentity() {
    if (selectedIndex_ < 0 || selectedIndex_ >= kMaxDrives) {
        return false;
    }
    for (int attempt = 0; attempt < kIdentityAttempts; ++attempt) {
        if (ReadIdentity()) {
            TakeIdentityInto(table_[selectedIndex_]);
            return true;
        }
    }
    return false;
}

bool AtapiDevice::ReadSerialNumber() {
    std::memset(serial_, 0, sizeof serial_);
    serialLength_ = 0;
    if (!Inquiry(0, 1, kSerialNumberPage, kSerialPageBytes, 0)) {
        return last_.outcome == kOutcomeCheckCondition && SenseKeyIs(kIllegalRequest);
    }
    const std::uint8_t* reply = readBuffer_.data();
    const std::uint32_t got =
        last_.transferred < kSerialPageBytes ? last_.transferred : kSerialPageBytes;
    if (got < 4) {
        return false;  // cut short: not even the page's header came, so ask again
    }
    if (reply[1] != kSerialNumberPage) {
        return true;  // an answer without a serial number
    }
    std::uint32_t length = reply[3];
    length = length < got - 4 ? length : got - 4;
    length = length < sizeof serial_ ? length : sizeof serial_;
    std::memcpy(serial_, reply + 4, length);
    serialLength_ = static_cast<std::uint8_t>(length);
    return true;
}

bool AtapiDevice::ReadSerialNumberRetried() {
    for (int attempt = 0; attempt < kIdentityAttempts; ++attempt) {
        if (ReadSerialNumber()) {
            return true;
        }
    }
    return false;
}

bool AtapiDevice::ConfirmIdentity(const DriveRecord& admitted) {
    bool identified = false;
    for (int attempt = 0; attempt < kIdentityAttempts && !identified; ++attempt) {
        identified = ReadIdentity();
    }
    if (!identified || std::memcmp(vendor_, admitted.vendor, sizeof vendor_) != 0 ||
        std::memcmp(product_, admitted.product, sizeof product_) != 0 ||
        std::memcmp(revision_, admitted.revision, sizeof revision_) != 0) {
        return false;
    }
    return ReadSerialNumberRetried() && serialLength_ == admitted.serial_length &&
           std::memcmp(serial_, admitted.serial_number, serialLength_) == 0;
}

void AtapiDevice::TakeIdentityInto(DriveRecord& record) const {
    std::memset(record.identity, 0, sizeof record.identity);
    std::memcpy(record.identity, vendor_, 8);
    std::memcpy(record.identity + 8, product_, 16);
    std::memcpy(record.vendor, vendor_, sizeof record.vendor);
    std::memcpy(record.product, product_, sizeof record.product);
    std::memcpy(record.revision, revision_, sizeof record.revision);
    std::memcpy(record.vendor_specific, vendorSpecific_, sizeof record.vendor_specific);
}

}  // namespace quiver
