#include "flash/flash_tables.h"

#include <array>

namespace quiver {

constexpr FlashChipEntry FlashChipTable[kFlashChipCount] = {
    {{0xDA, 0xC8, 0x00, 0x00}, 0x01, 0x3A},  //  0
    {{0xBF, 0xB4, 0x00, 0x00}, 0x01, 0xC4},  //  1
    {{0xBF, 0xD6, 0x00, 0x01}, 0x05, 0x00},  //  2  SST39VF020/SST39SF020
    {{0xBF, 0xB6, 0x00, 0x01}, 0x05, 0x00},  //  3  SST39VF020/SST39SF020
    {{0x37, 0x8C, 0x00, 0x01}, 0x05, 0x00},  //  4  AMIC A29002 top
    {{0xBF, 0xD7, 0x00, 0x03}, 0x03, 0xE6},  //  5  SST39VF040/SST39SF040
    {{0x37, 0x0D, 0x00, 0x02}, 0x03, 0x1C},  //  6  AMIC A290021 top
    {{0xBF, 0xB6, 0x00, 0x02}, 0x02, 0xB6},  //  7  SST39SF020
    {{0xBF, 0xD6, 0x00, 0x02}, 0x02, 0xB6},  //  8  SST39SF020
    {{0xDA, 0xB5, 0x00, 0x02}, 0x02, 0xBA},  //  9  W39L020
    {{0xDA, 0xB5, 0x00, 0x01}, 0x05, 0x00},  // 10  Winbond W39L020
    {{0xBF, 0xD7, 0x00, 0x04}, 0x03, 0x56},  // 11  SST39VF040/SST39SF040
    {{0xC2, 0xB6, 0x00, 0x03}, 0x03, 0x3E},  // 12  MX29LV040B
    {{0xDA, 0x46, 0x00, 0x03}, 0x02, 0xE6},  // 13  W29C040
    {{0x37, 0xB5, 0x00, 0x03}, 0x03, 0xB2},  // 14  AMIC A29L004
    {{0xC2, 0xB6, 0x00, 0x07}, 0x03, 0x1E},  // 15  MX29LV040B
    {{0xDA, 0x46, 0x00, 0x07}, 0x02, 0xC6},  // 16  W29C040
    {{0x37, 0xB5, 0x00, 0x04}, 0x03, 0xAE},  // 17  AMIC A29L004
    {{0x37, 0xB5, 0x00, 0x07}, 0x03, 0x22},  // 18  AMIC A29L004
    {{0x9D, 0x3E, 0x00, 0x04}, 0x03, 0xDA},  // 19  PM39LV40
    {{0xDA, 0xB6, 0x00, 0x07}, 0x02, 0xF2},  // 20  W39L040P
    {{0xBF, 0xD8, 0x00, 0x05}, 0x04, 0xD2},  // 21  AM29LV008B, MX29LV008B, SST39LF080, MX29LV081
    {{0x01, 0x37, 0x00, 0x05}, 0x04, 0xD2},  // 22  as 21
    {{0xC2, 0x37, 0x00, 0x05}, 0x04, 0xD2},  // 23  as 21
    {{0xC2, 0x38, 0x00, 0x05}, 0x04, 0xD2},  // 24  as 21
    {{0xBF, 0xD8, 0x00, 0x06}, 0x04, 0x36},  // 25  SST39VF080/SST39LF080
    {{0x01, 0x37, 0x00, 0x06}, 0x04, 0x62},  // 26  AM29LV008BB
};

constexpr std::int32_t ProfileMap[kFlashChipCount] = {
    0, 1, 2, 2, 3, 4, 5, 6, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 19, 19, 19, 20, 21,
};

namespace {

struct ProfileLayout {
    std::array<std::size_t, kFlashProfileCount> offset{};
    std::array<std::size_t, kFlashProfileCount> size{};
    std::size_t total = 0;
    bool consistent = true;
};

// Derives the profiles' sizes and offsets from the chip table, and checks the table's own rules:
// profiles numbered in order from 0, each one's entries adjacent and of one size.
constexpr ProfileLayout MakeLayout() {
    ProfileLayout layout;
    std::int32_t next = 0;
    for (int entry = 0; entry < kFlashChipCount; ++entry) {
        const std::int32_t p = ProfileMap[entry];
        const std::size_t size = FlashChipTable[entry].ProfileSize();
        if (p == next) {
            layout.offset[static_cast<std::size_t>(p)] = layout.total;
            layout.size[static_cast<std::size_t>(p)] = size;
            layout.total += size;
            ++next;
        } else if (entry == 0 || p != ProfileMap[entry - 1] ||
                   size != FlashChipTable[entry - 1].ProfileSize()) {
            layout.consistent = false;
        }
    }
    if (next != static_cast<std::int32_t>(kFlashProfileCount))
        layout.consistent = false;
    return layout;
}

constexpr ProfileLayout kLayout = MakeLayout();
static_assert(kLayout.consistent, "chip entries of one profile must be adjacent and equal");
static_assert(kLayout.total == kFlashProfilesBytes);
static_assert(kLayout.offset[19] == 16156 && kLayout.offset[21] == 18468);

bool ValidProfile(int profile) {
    return profile >= 0 && static_cast<std::size_t>(profile) < kFlashProfileCount;
}

}  // namespace

std::size_t FlashProfileOffset(int profile) {
    return ValidProfile(profile) ? kLayout.offset[static_cast<std::size_t>(profile)] : 0;
}

std::size_t FlashProfileSize(int profile) {
    return ValidProfile(profile) ? kLayout.size[static_cast<std::size_t>(profile)] : 0;
}

}  // namespace quiver
