#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <vector>

#include "flash/flash_tables.h"

// The flash chip table and the profile store, as the download reads them.
namespace quiver {
namespace {

using Id = std::array<std::uint8_t, 4>;
constexpr int kProfiles = static_cast<int>(kFlashProfileCount);

Id IdOf(int entry) {
    const auto& id = FlashChipTable[entry].id;
    return {id[0], id[1], id[2], id[3]};
}

std::vector<std::uint8_t> Profile(int p) {
    const std::uint8_t* start = FlashProfiles() + FlashProfileOffset(p);
    return {start, start + FlashProfileSize(p)};
}

TEST(FlashTables, EntriesAndOffsets) {
    EXPECT_EQ(std::memcmp(&FlashChipTable[0], "\xDA\xC8\x00\x00\x01\x3A", 6), 0);
    EXPECT_EQ(std::memcmp(&FlashChipTable[2], "\xBF\xD6\x00\x01\x05\x00", 6), 0);
    EXPECT_EQ(std::memcmp(&FlashChipTable[26], "\x01\x37\x00\x06\x04\x62", 6), 0);
    std::set<Id> seen;  // the search takes the first match: no entry may hide behind another
    for (int e = 0; e < kFlashChipCount; ++e) {
        EXPECT_TRUE(seen.insert(IdOf(e)).second) << e;
        EXPECT_EQ(FlashChipTable[e].ProfileSize(), FlashProfileSize(ProfileMap[e])) << e;
        if (e > 0) {
            EXPECT_LE(ProfileMap[e] - ProfileMap[e - 1], 1) << e;
            EXPECT_GE(ProfileMap[e] - ProfileMap[e - 1], 0) << e;
        }
    }
    EXPECT_EQ(ProfileMap[10], 8);
    EXPECT_EQ(ProfileMap[kFlashChipCount - 1], kProfiles - 1);

    std::size_t sum = 0;
    for (int p = 0; p < kProfiles; ++p) {
        EXPECT_EQ(FlashProfileOffset(p), sum) << p;
        sum += FlashProfileSize(p);
    }
    EXPECT_EQ(sum, kFlashProfilesBytes);
    EXPECT_EQ(FlashProfileOffset(3), 2046u);
    EXPECT_EQ(FlashProfileOffset(19), 16156u);
    EXPECT_EQ(FlashProfileOffset(21), 18468u);
    EXPECT_EQ(FlashProfileSize(-1), 0u);
    EXPECT_EQ(FlashProfileSize(kProfiles), 0u);
}

TEST(FlashTables, ProfilesDifferAndLongOnesEndInZeros) {
    for (int a = 0; a < kProfiles; ++a) {
        const std::vector<std::uint8_t> profile = Profile(a);
        if (profile.size() == 1280) {
            EXPECT_TRUE(a == 2 || a == 3 || a == 8) << a;
            EXPECT_EQ(std::vector<std::uint8_t>(profile.end() - 6, profile.end()),
                      std::vector<std::uint8_t>(6, 0))
                << a;
        }
        for (int b = a + 1; b < kProfiles; ++b)
            EXPECT_NE(profile, Profile(b)) << a << " " << b;
    }
}

}  // namespace
}  // namespace quiver
