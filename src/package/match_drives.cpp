#include "package/match_drives.h"

#include <string>

#include "package/firmware_package.h"

namespace quiver {

namespace {

template <std::size_t N>
std::string FieldText(const char (&field)[N], std::size_t width) {
    return ReadSlotText(reinterpret_cast<const std::uint8_t*>(field), N, width);
}

// An entry that was never filled: "#FLS" as lowest and "#" leading the other three fields.
bool IsPlaceholder(const ConstraintFields& entry) {
    return TextEqual(entry.lowest, "#FLS") && !entry.vendor.empty() && entry.vendor[0] == '#' &&
           !entry.highest.empty() && entry.highest[0] == '#' && !entry.product.empty() &&
           entry.product[0] == '#';
}

// The four conditions, in this order; an empty field sets none.
bool Admits(const ConstraintFields& entry, const std::string& revision, const std::string& vendor,
            const std::string& product) {
    if (!entry.vendor.empty() && !TextEqual(entry.vendor, vendor)) {
        return false;
    }
    if (!entry.product.empty() && !TextEqual(entry.product, product)) {
        return false;
    }
    if (!entry.lowest.empty() && !TextAtLeast(revision, entry.lowest)) {
        return false;
    }
    return entry.highest.empty() || TextAtMost(revision, entry.highest);
}

bool BankAdmits(const PackageReader& package, int bank, const std::string& revision,
                const std::string& vendor, const std::string& product) {
    for (int e = 1; e <= kEntriesPerBank; ++e) {
        const ConstraintFields entry = package.Constraint(bank, e);
        // A bank whose first entry is still a placeholder has no constraints.
        if (e == 1 && IsPlaceholder(entry)) {
            return true;
        }
        if (Admits(entry, revision, vendor, product)) {
            return true;
        }
    }
    return false;
}

}  // namespace

void MatchDrives(const std::uint8_t* block, DriveRecord* records, int count) {
    const PackageReader package(block);
    const int banks = package.HowManyBin();
    const bool n2o_message = package.Flag(PackageFlag::N2oMessage) == 1;

    for (int i = 0; i < count; ++i) {
        DriveRecord& record = records[i];
        record.allowed = 0;
        if (record.in_use != 1 || package.ImageAreaUnfilled()) {
            continue;
        }
        const std::string revision = FieldText(record.revision, kRevisionWidth);
        const std::string vendor = FieldText(record.vendor, kVendorWidth);
        const std::string product = FieldText(record.product, kProductWidth);

        for (int bank = 1; bank <= banks; ++bank) {
            // A bank whose image range is unusable cannot be flashed, so it admits no drive.
            if (!package.BankIsValid(bank) ||
                !BankAdmits(package, bank, revision, vendor, product)) {
                continue;
            }
            record.allowed = 1;
            record.image_index = static_cast<std::uint16_t>(bank - 1);
            const std::string newest = package.NewRevision(bank).substr(0, kRevisionWidth);
            record.up_to_date = n2o_message && TextAtLeast(revision, newest) ? 1 : 0;
            break;
        }
    }
}

void MatchDrives(DriveRecord* records, int count) {
    MatchDrives(EmbeddedPackage(), records, count);
}

}  // namespace quiver
