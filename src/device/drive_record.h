// One entry of a drive object's drive table: where a detected optical drive sits, what it says
// it is, and the marks the package matching leaves on it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quiver {

// The drive table holds at most this many drives.
constexpr int kMaxDrives = 16;

// The longest unit serial number a record keeps; the rest of a longer one is not compared.
constexpr int kSerialNumberBytes = 92;
constexpr std::uint8_t kSerialNumberUnread = 0xFF;
static_assert(kSerialNumberUnread > kSerialNumberBytes);

struct DriveRecord {
    // The 8 vendor characters followed by the 16 product characters, then zeros; shown in the
    // drive list.
    char identity[32];
    char vendor[9];            // INQUIRY bytes 8 to 15 and a zero
    char product[17];          // INQUIRY bytes 16 to 31 and a zero
    char revision[5];          // INQUIRY bytes 32 to 35 (the firmware revision) and a zero
    char vendor_specific[17];  // INQUIRY bytes 36 to 51 and a zero
    // The root of the drive letter ("E:\") and a zero; empty for drives found through the ASPI
    // manager.
    char root_path[4];
    std::int16_t adapter;  // SCSI port number (pass-through) or host adapter number (ASPI)
    std::int16_t target_id;
    std::int16_t lun;
    std::int16_t path_id;  // 0 on the ASPI route
    std::uint8_t in_use;   // 1 when the record holds a detected drive
    // Written by the package matching: 1 when this drive may be updated.
    std::uint8_t allowed;
    std::uint8_t found_through_aspi;  // 1 when the ASPI scan found the drive
    // Written by the package matching: the drive's bank number minus 1, and 1 when the drive
    // already carries that bank's new revision.
    std::uint16_t image_index;
    std::uint16_t up_to_date;
    // 1 when adapter, path, target and LUN are the address the system's address request or the
    // ASPI manager reported; 0 for one made up for a drive that reported none.
    std::uint8_t address_reported;
    // The serial number of the unit serial number page, as the scan read it; length 0: the
    // drive reports none; kSerialNumberUnread: the scan got no usable answer, so no drive can
    // later be confirmed as this one.
    std::uint8_t serial_length;
    char serial_number[kSerialNumberBytes];
    // On a system that names its drives itself: the drive's name ("sr0") and a zero, shown where
    // the root would be; empty elsewhere.
    char device_name[16];
    // Why a listed drive cannot be opened ("/dev/sr0: permission denied") and a zero; empty when
    // it can.
    char access_problem[64];
};

static_assert(offsetof(DriveRecord, vendor) == 32);
static_assert(offsetof(DriveRecord, product) == 41);
static_assert(offsetof(DriveRecord, revision) == 58);
static_assert(offsetof(DriveRecord, vendor_specific) == 63);
static_assert(offsetof(DriveRecord, root_path) == 80);
static_assert(offsetof(DriveRecord, adapter) == 84);
static_assert(offsetof(DriveRecord, in_use) == 92);
static_assert(offsetof(DriveRecord, found_through_aspi) == 94);
static_assert(offsetof(DriveRecord, address_reported) == 100);

// Two records are one physical drive when both carry a reported address and the addresses are
// equal. Identity never makes two records one drive: drives of one model report the same
// identity, and many report no serial number.
inline bool SameDrive(const DriveRecord& a, const DriveRecord& b) {
    return a.in_use != 0 && b.in_use != 0 && a.address_reported != 0 && b.address_reported != 0 &&
           a.adapter == b.adapter && a.path_id == b.path_id && a.target_id == b.target_id &&
           a.lun == b.lun;
}

}  // namespace quiver
