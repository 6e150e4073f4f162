#include "package/firmware_package.h"

#include <cstdint>
#include <limits>

#include "platform/platform.h"

namespace quiver {

namespace {

// A slot of the header: its offset in the block and its size.
struct Slot {
    std::size_t offset;
    std::size_t size;
};

#define QUIVER_SLOT(member)                                            \
    Slot {                                                             \
        offsetof(PackageHeader, member), sizeof(PackageHeader::member) \
    }

constexpr Slot kTitle = QUIVER_SLOT(title);
constexpr Slot kVersion = QUIVER_SLOT(version);
constexpr Slot kDriveName = QUIVER_SLOT(drive_name);
constexpr Slot kAdmin = QUIVER_SLOT(admin);

constexpr Slot FlagSlot(PackageFlag flag) {
    switch (flag) {
        case PackageFlag::N2oMessage:
            return QUIVER_SLOT(n2o_message);
        case PackageFlag::ChkDisc:
            return QUIVER_SLOT(chk_disc);
        case PackageFlag::BootCode:
            return QUIVER_SLOT(boot_code);
        case PackageFlag::Reboot:
            return QUIVER_SLOT(reboot);
        case PackageFlag::AutoMode:
            return QUIVER_SLOT(auto_mode);
        case PackageFlag::CloseAp:
            return QUIVER_SLOT(close_ap);
        case PackageFlag::Warning:
            return QUIVER_SLOT(warning);
        case PackageFlag::NbWarning:
            return QUIVER_SLOT(nb_warning);
        case PackageFlag::HowManyBin:
            return QUIVER_SLOT(how_many_bin);
    }
    return QUIVER_SLOT(how_many_bin);
}

#undef QUIVER_SLOT

constexpr std::size_t kBinStartSlotSize = sizeof(PackageHeader::bin_start[0]);
constexpr std::size_t kBinSizeSlotSize = sizeof(PackageHeader::bin_size[0]);
constexpr std::size_t kNewFwSlotSize = sizeof(PackageHeader::new_fw[0]);

bool ValidBank(int bank) {
    return bank >= 1 && bank <= kPackageBanks;
}

bool IsSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string ReadSlotText(const std::uint8_t* slot, std::size_t slot_size, std::size_t width) {
    const std::size_t limit = width < slot_size ? width : slot_size;
    std::size_t length = 0;
    while (length < limit && slot[length] != 0) {
        ++length;
    }
    return std::string(reinterpret_cast<const char*>(slot), length);
}

std::int32_t ParsePackageNumber(const std::uint8_t* text, std::size_t size) {
    std::size_t i = 0;
    while (i < size && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < size && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate the magnitude, stopping it just past what an int32 can hold.
    constexpr std::int64_t kCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > kCap) {
            magnitude = kCap;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(value);  // -kCap is INT32_MIN
}

int CompareText(const std::string& a, const std::string& b) {
    const int result =
        Collation().CompareStringA(LOCALE_USER_DEFAULT, 0, a.c_str(), -1, b.c_str(), -1);
    if (result == 0) {
        return kCompareFailed;
    }
    if (result < CSTR_EQUAL) {
        return -1;
    }
    return result == CSTR_EQUAL ? 0 : 1;
}

bool TextEqual(const std::string& a, const std::string& b) {
    return CompareText(a, b) == 0;
}

bool TextAtLeast(const std::string& a, const std::string& b) {
    const int c = CompareText(a, b);
    return c == 0 || c == 1;
}

bool TextAtMost(const std::string& a, const std::string& b) {
    const int c = CompareText(a, b);
    return c == 0 || c == -1;
}

std::string PackageReader::Title() const {
    return ReadSlotText(block_ + kTitle.offset, kTitle.size);
}

std::string PackageReader::Version() const {
    return ReadSlotText(block_ + kVersion.offset, kVersion.size);
}

std::string PackageReader::DriveName() const {
    return ReadSlotText(block_ + kDriveName.offset, kDriveName.size);
}

int PackageReader::Flag(PackageFlag flag) const {
    const Slot slot = FlagSlot(flag);
    const std::string text = ReadSlotText(block_ + slot.offset, slot.size);
    if (text.empty()) {
        return 0;
    }
    const char last = text.back();
    return last >= '0' && last <= '9' ? last - '0' : 0;
}

bool PackageReader::Admin() const {
    return block_[kAdmin.offset + kAdminValueOffset] == '1';
}

std::uint16_t PackageReader::HowManyBin() const {
    const int count = Flag(PackageFlag::HowManyBin);
    return static_cast<std::uint16_t>(count > kPackageBanks ? kPackageBanks : count);
}

PackageFlags PackageReader::Flags() const {
    PackageFlags flags;
    flags.n2o_message = Flag(PackageFlag::N2oMessage);
    flags.chk_disc = Flag(PackageFlag::ChkDisc);
    flags.boot_code = Flag(PackageFlag::BootCode);
    flags.reboot = Flag(PackageFlag::Reboot);
    flags.auto_mode = Flag(PackageFlag::AutoMode);
    flags.close_ap = Flag(PackageFlag::CloseAp);
    flags.warning = Flag(PackageFlag::Warning);
    flags.admin = Admin();
    flags.nb_warning = Flag(PackageFlag::NbWarning);
    flags.how_many_bin = HowManyBin();
    return flags;
}

std::int32_t PackageReader::ImageStart(int bank) const {
    if (!ValidBank(bank)) {
        return 0;
    }
    const std::size_t slot = offsetof(PackageHeader, bin_start) + (bank - 1) * kBinStartSlotSize;
    return ParsePackageNumber(block_ + slot + kBinStartValueOffset,
                              kBinStartSlotSize - kBinStartValueOffset);
}

std::int32_t PackageReader::ImageSize(int bank) const {
    if (!ValidBank(bank)) {
        return 0;
    }
    const std::size_t slot = offsetof(PackageHeader, bin_size) + (bank - 1) * kBinSizeSlotSize;
    return ParsePackageNumber(block_ + slot + kBinSizeValueOffset,
                              kBinSizeSlotSize - kBinSizeValueOffset);
}

std::string PackageReader::NewRevision(int bank) const {
    if (!ValidBank(bank)) {
        return {};
    }
    const std::size_t slot = offsetof(PackageHeader, new_fw) + (bank - 1) * kNewFwSlotSize;
    return ReadSlotText(block_ + slot + kNewFwValueOffset, kNewFwSlotSize - kNewFwValueOffset);
}

bool PackageReader::ImageAreaUnfilled() const {
    const std::uint8_t* area = ImageArea();
    for (std::size_t i = 0; i < kUnfilledImageTestLength; ++i) {
        if (area[i] != static_cast<std::uint8_t>(kUnfilledImageMarker[i])) {
            return false;
        }
    }
    return true;
}

ConstraintFields PackageReader::Constraint(int bank, int entry) const {
    if (!ValidBank(bank) || entry < 1 || entry > kEntriesPerBank) {
        return {};
    }
    const std::uint8_t* e = block_ + offsetof(PackageHeader, constraints) +
                            ((bank - 1) * kEntriesPerBank + (entry - 1)) * sizeof(ConstraintEntry);
    ConstraintFields fields;
    fields.lowest = ReadSlotText(e + offsetof(ConstraintEntry, lowest),
                                 sizeof(ConstraintEntry::lowest), kRevisionWidth);
    fields.highest = ReadSlotText(e + offsetof(ConstraintEntry, highest),
                                  sizeof(ConstraintEntry::highest), kRevisionWidth);
    fields.vendor = ReadSlotText(e + offsetof(ConstraintEntry, vendor),
                                 sizeof(ConstraintEntry::vendor), kVendorWidth);
    fields.product = ReadSlotText(e + offsetof(ConstraintEntry, product),
                                  sizeof(ConstraintEntry::product), kProductWidth);
    return fields;
}

bool PackageReader::BankIsValid(int bank) const {
    if (!ValidBank(bank)) {
        return false;
    }
    const std::int64_t start = ImageStart(bank);
    const std::int64_t size = ImageSize(bank);
    return start >= 0 && size > 0 && size % kImageBlockSize == 0 &&
           start + size <= static_cast<std::int64_t>(kImageAreaSize);
}

bool BankIsValid(const std::uint8_t* block, int bank) {
    return PackageReader(block).BankIsValid(bank);
}

}  // namespace quiver
