// Reading the firmware package: its texts, behaviour flags, banks and constraint entries.
//
// Every reader takes the block as a pointer to its first byte, the embedded one by default, so
// that other blocks (a package under test, a package that the emulator loads) read the same way.
// Every read stays inside its slot: a text without a terminating zero ends at the end of its
// slot, and a number or flag never reads past its slot either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "package/package_layout.h"

namespace quiver {

// The one-digit flags of the key entries.
enum class PackageFlag {
    N2oMessage,
    ChkDisc,
    BootCode,
    Reboot,
    AutoMode,
    CloseAp,
    Warning,
    NbWarning,
    HowManyBin,
};

// The behaviour flags, read once at start-up and kept for the run.
struct PackageFlags {
    int n2o_message = 0;             // exactly 1: the matching sets the up-to-date mark
    int chk_disc = 0;                // exactly 1: disc and tray check before flashing
    int boot_code = 0;               // non-zero: boot-code flag of the flashing job
    int reboot = 0;                  // non-zero: restart after a successful update
    int auto_mode = 0;               // non-zero: update every allowed drive without being asked
    int close_ap = 0;                // non-zero: end after a successful update
    int warning = 0;                 // exactly 1: notice at start-up
    bool admin = false;              // administrator reminder on NT-family systems
    int nb_warning = 0;              // exactly 1: third line of the notice
    std::uint16_t how_many_bin = 0;  // filled banks, 0 to 4
};

// The four fields of a constraint entry, each read with its width; empty sets no condition.
struct ConstraintFields {
    std::string lowest;
    std::string highest;
    std::string vendor;
    std::string product;
};

class PackageReader {
  public:
    explicit PackageReader(const std::uint8_t* block = EmbeddedPackage()) : block_(block) {}

    const std::uint8_t* block() const { return block_; }

    std::string Title() const;
    std::string Version() const;
    std::string DriveName() const;

    // The last character of the entry's text: '0' to '9' give 0 to 9, anything else 0.
    // HowManyBin here is that raw digit; HowManyBin() below is the bank count.
    int Flag(PackageFlag flag) const;
    // ADMIN: the character right after "ADMIN=" is '1'.
    bool Admin() const;
    // The number of filled banks. A digit above 4 is outside the format and reads as 4.
    std::uint16_t HowManyBin() const;
    PackageFlags Flags() const;

    // BIN_STARTn and BIN_SIZEn as decimal numbers, n from 1 to 4 (0 for any other n).
    std::int32_t ImageStart(int bank) const;
    std::int32_t ImageSize(int bank) const;
    // The text after "NEW_FWn=" (empty for n outside 1 to 4).
    std::string NewRevision(int bank) const;

    // The first byte of the image area (kImageAreaSize bytes).
    const std::uint8_t* ImageArea() const { return block_ + kImageAreaOffset; }
    // True when the image area still begins with the marker of a package never filled (its
    // first 19 bytes; the 20th does not count).
    bool ImageAreaUnfilled() const;

    // Entry 1 to 8 of bank 1 to 4; all fields empty for any other numbers.
    ConstraintFields Constraint(int bank, int entry) const;

    // True when bank n's range lies inside the image area and is a positive whole number of
    // 16,384-byte blocks. Whether the bank is one of the HOW_MANY_BIN filled banks is not part
    // of this test.
    bool BankIsValid(int bank) const;

  private:
    const std::uint8_t* block_;
};

bool BankIsValid(const std::uint8_t* block, int bank);

// The text at the start of a slot up to its first zero byte, at most `width` characters and
// never past the slot's end.
std::string ReadSlotText(const std::uint8_t* slot, std::size_t slot_size,
                         std::size_t width = static_cast<std::size_t>(-1));

// The package's number rule over `size` bytes: skip white space, an optional sign, then the
// decimal digits up to the first non-digit; no digits give 0. A value beyond the 32-bit range
// saturates at INT32_MAX or INT32_MIN.
std::int32_t ParsePackageNumber(const std::uint8_t* text, std::size_t size);

// The three-way text comparison of the package: the user's default locale collation, case-
// sensitive (CompareStringA with LOCALE_USER_DEFAULT and no flags), giving -1, 0 or +1.
// When the platform cannot compare (CompareStringA returns 0) the result is kCompareFailed,
// which is none of the three: such texts are neither equal nor ordered, and TextEqual,
// TextAtLeast and TextAtMost are all false for them.
constexpr int kCompareFailed = 2;
int CompareText(const std::string& a, const std::string& b);
bool TextEqual(const std::string& a, const std::string& b);
bool TextAtLeast(const std::string& a, const std::string& b);  // a >= b
bool TextAtMost(const std::string& a, const std::string& b);   // a <= b

}  // namespace quiver
