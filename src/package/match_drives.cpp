#include "package/match_drives.h"

#include <string>

#include "package/firmware_package.h"

namespace quiver {

namespace {

std::string FieldText(std::string_view field, std::size_t width) {
    return ReadSlotText(reinterpret_cast<const std::uint8_t*>(field.data()), field.size(), width);
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

PackageMatcher::PackageMatcher(const std::uint8_t* block)
    : block_(block),
      banks_(PackageReader(block).HowManyBin()),
      n2o_message_(PackageReader(block).Flag(PackageFlag::N2oMessage) == 1),
      unfilled_(PackageReader(block).ImageAreaUnfilled()) {}

std::optional<DriveMatch> PackageMatcher::Match(std::string_view vendor_field,
                                                std::string_view product_field,
                                                std::string_view revision_field) const {
    if (unfilled_) {
        return std::nullopt;
    }
    const PackageReader package(block_);
    const std::string revision = FieldText(revision_field, kRevisionWidth);
    const std::string vendor = FieldText(vendor_field, kVendorWidth);
    const std::string product = FieldText(product_field, kProductWidth);
    for (int bank = 1; bank <= banks_; ++bank) {
        // A bank whose image range is unusable cannot be flashed, so it admits no drive.
        if (!package.BankIsValid(bank) || !BankAdmits(package, bank, revision, vendor, product)) {
            continue;
        }
        const std::string newest = package.NewRevision(bank).substr(0, kRevisionWidth);
        return DriveMatch{static_cast<std::uint16_t>(bank - 1),
                          n2o_message_ && TextAtLeast(revision, newest)};
    }
    return std::nullopt;
}

}  // namespace quiver
