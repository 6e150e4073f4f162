// The layout of the firmware package: the fixed block inside the executable that carries the
// window title, the admitted drives and revisions, the behaviour flags and up to four firmware
// images. A packaging step overwrites its slots in a built executable; the program reads every
// slot in place at its fixed offset and never writes the block.
//
// Every member is a byte array, so the structures have no padding and the offsets below are the
// offsets in the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quiver {

constexpr std::size_t kPackageSize = 0x100854;  // 1,050,708 bytes
constexpr std::size_t kImageAreaSize = 1048576;
constexpr int kPackageBanks = 4;
constexpr int kEntriesPerBank = 8;
// A bank's image is sent to the drive in whole blocks of this size.
constexpr std::int32_t kImageBlockSize = 16384;

// The text an image area holds until the packaging step fills it; the matching tests its first
// 19 bytes.
constexpr char kUnfilledImageMarker[] = "BANK_START_FROM_HERE";
constexpr std::size_t kUnfilledImageTestLength = 19;

// One admission rule of a bank. Every field has four spare zero bytes beyond its read width.
struct ConstraintEntry {
    char lowest[8];    // lowest admitted revision, read with width 4
    char highest[8];   // highest admitted revision, read with width 4
    char vendor[12];   // vendor text as the drive reports it, read with width 8
    char product[20];  // product text as the drive reports it, read with width 16
};

// Read widths of the constraint fields.
constexpr std::size_t kRevisionWidth = 4;
constexpr std::size_t kVendorWidth = 8;
constexpr std::size_t kProductWidth = 16;

// Everything in front of the image area.
struct PackageHeader {
    char free_text_1[21];
    char version[13];
    char free_text_2[15];
    char title[64];  // "APP_TITLE_HERE" until filled
    char date[12];
    char free_text_3[32];
    char drive_name[65];
    char constraints_marker[16];  // "FW_CONSTRAINTS="
    ConstraintEntry constraints[kPackageBanks][kEntriesPerBank];
    // Key entries, KEY=VALUE texts in slots of fixed size.
    char n2o_message[13];
    char chk_disc[10];
    char boot_code[18];
    char reboot[9];
    char auto_mode[11];
    char close_ap[10];
    char warning[10];
    char admin[8];
    char nb_warning[12];
    char how_many_bin[20];
    char bin_start[kPackageBanks][22];  // the number starts at slot offset 11
    char bin_size[kPackageBanks][21];   // the number starts at slot offset 10
    char new_fw[kPackageBanks][16];     // the revision text starts at slot offset 8
};

struct FirmwarePackage {
    PackageHeader header;
    unsigned char image[kImageAreaSize];
    unsigned char end_zero;
};

// Where the values sit inside their key slots.
constexpr std::size_t kBinStartValueOffset = 11;
constexpr std::size_t kBinSizeValueOffset = 10;
constexpr std::size_t kNewFwValueOffset = 8;
constexpr std::size_t kAdminValueOffset = 6;

constexpr std::size_t kImageAreaOffset = offsetof(FirmwarePackage, image);

static_assert(alignof(FirmwarePackage) == 1);
static_assert(sizeof(ConstraintEntry) == 48);
static_assert(offsetof(ConstraintEntry, highest) == 8);
static_assert(offsetof(ConstraintEntry, vendor) == 16);
static_assert(offsetof(ConstraintEntry, product) == 28);
static_assert(offsetof(PackageHeader, version) == 0x015);
static_assert(offsetof(PackageHeader, free_text_2) == 0x022);
static_assert(offsetof(PackageHeader, title) == 0x031);
static_assert(offsetof(PackageHeader, date) == 0x071);
static_assert(offsetof(PackageHeader, free_text_3) == 0x07D);
static_assert(offsetof(PackageHeader, drive_name) == 0x09D);
static_assert(offsetof(PackageHeader, constraints_marker) == 0x0DE);
static_assert(offsetof(PackageHeader, constraints) == 0x0EE);
static_assert(offsetof(PackageHeader, n2o_message) == 0x6EE);
static_assert(offsetof(PackageHeader, chk_disc) == 0x6FB);
static_assert(offsetof(PackageHeader, boot_code) == 0x705);
static_assert(offsetof(PackageHeader, reboot) == 0x717);
static_assert(offsetof(PackageHeader, auto_mode) == 0x720);
static_assert(offsetof(PackageHeader, close_ap) == 0x72B);
static_assert(offsetof(PackageHeader, warning) == 0x735);
static_assert(offsetof(PackageHeader, admin) == 0x73F);
static_assert(offsetof(PackageHeader, nb_warning) == 0x747);
static_assert(offsetof(PackageHeader, how_many_bin) == 0x753);
static_assert(offsetof(PackageHeader, bin_start) == 0x767);
static_assert(offsetof(PackageHeader, bin_size) == 0x7BF);
static_assert(offsetof(PackageHeader, new_fw) == 0x813);
static_assert(sizeof(PackageHeader) == 0x853);
static_assert(kImageAreaOffset == 0x853);
static_assert(offsetof(FirmwarePackage, end_zero) == 0x100853);
static_assert(sizeof(FirmwarePackage) == kPackageSize);

// The block built into this executable. It lives in a section of its own, ".qvpkg", so that the
// packaging step can find and overwrite it in the file. Read it through EmbeddedPackage().
extern FirmwarePackage g_firmware_package;

// The first byte of the embedded block, for the readers.
const std::uint8_t* EmbeddedPackage();

}  // namespace quiver
