// The package matching: which detected drives may be updated, with which bank's image, and
// which of them already carry that bank's new revision.
//
// The matching reads and marks the drive object's records without knowing their type: a record
// is anything with the identity fields as INQUIRY gave them (char arrays `vendor`, `product` and
// `revision`), the in-use mark `in_use`, and the marks `allowed`, `image_index` and `up_to_date`
// the matching writes. The drive object's DriveRecord is one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "package/package_layout.h"

namespace quiver {

// What a bank of the package says about one drive it admits.
struct DriveMatch {
    std::uint16_t image_index;  // the admitting bank's number minus 1
    bool up_to_date;            // the drive already carries that bank's new revision
};

// The package read once for matching many drives.
class PackageMatcher {
  public:
    explicit PackageMatcher(const std::uint8_t* block);

    // The first bank that admits a drive of this identity, if any. Each field is the whole
    // record field (its padding and ending zero included).
    std::optional<DriveMatch> Match(std::string_view vendor, std::string_view product,
                                    std::string_view revision) const;

  private:
    const std::uint8_t* block_;
    int banks_;
    bool n2o_message_;
    bool unfilled_;
};

template <class Record>
concept MatchableRecord = requires(Record& r) {
    r.vendor[0];
    r.product[0];
    r.revision[0];
    r.in_use = 1;
    r.allowed = 1;
    r.image_index = std::uint16_t{0};
    r.up_to_date = 1;
};

namespace detail {
template <std::size_t N>
std::string_view WholeField(const char (&field)[N]) {
    return std::string_view(field, N);
}
}  // namespace detail

// Sets the allowed mark of records[0] to records[count - 1], and the image index and up-to-date
// mark of each allowed one. A record that no bank admits keeps its image index and up-to-date
// mark. Banks that fail BankIsValid admit no drive.
template <MatchableRecord Record>
void MatchDrives(const std::uint8_t* block, Record* records, int count) {
    const PackageMatcher matcher(block);
    for (int i = 0; i < count; ++i) {
        Record& record = records[i];
        record.allowed = 0;
        if (record.in_use != 1) {
            continue;
        }
        const std::optional<DriveMatch> match =
            matcher.Match(detail::WholeField(record.vendor), detail::WholeField(record.product),
                          detail::WholeField(record.revision));
        if (match) {
            record.allowed = 1;
            record.image_index = match->image_index;
            record.up_to_date = match->up_to_date ? 1 : 0;
        }
    }
}

template <MatchableRecord Record>
void MatchDrives(Record* records, int count) {
    MatchDrives(EmbeddedPackage(), records, count);
}

}  // namespace quiver
