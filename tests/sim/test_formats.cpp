#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "formats/firmware_image.h"
#include "formats/flash_profile_format.h"

namespace sim {
namespace {

using Id = std::array<std::uint8_t, 4>;
using Bytes = std::vector<std::uint8_t>;

// A copy of the first `n` bytes in an allocation of exactly `n` bytes, so that the sanitizers
// catch any read past it.
std::unique_ptr<std::uint8_t[]> Exact(const Bytes& bytes, std::size_t n) {
    auto copy = std::make_unique<std::uint8_t[]>(n);
    std::memcpy(copy.get(), bytes.data(), n);
    return copy;
}

void PutBig32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

void Reseal(Bytes& image) {
    PutBig32(image, image.size() - 4, Crc32(image.data(), image.size() - 4));
}

bool Parses(const Bytes& image) {
    return ParseFirmwareImage(image.data(), image.size()).has_value();
}

TEST(ImageFormat, RoundTrip) {
    const char* check = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const std::uint8_t*>(check), 9), 0xCBF43926u);

    const Bytes image = MakeFirmwareImage("QM0F", 1u << 20, 7, "nightly 12");
    ASSERT_EQ(image.size(), 1u << 20);
    EXPECT_NE(std::memcmp(image.data(), "BANK_START_FROM_HERE", 19), 0);
    // In a drive buffer larger than the image, the bytes after it do not matter.
    Bytes buffer(2u << 20, 0xEE);
    std::memcpy(buffer.data(), image.data(), image.size());
    const std::optional<ImageInfo> info = ParseFirmwareImage(buffer.data(), buffer.size());
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size, 1u << 20);
    EXPECT_EQ(info->revision, "QM0F");
    EXPECT_EQ(info->vendor, "Korvane ");
    EXPECT_EQ(info->product, "DVDRW KMR-730T  ");
    EXPECT_EQ(info->build, "nightly 12");

    EXPECT_EQ(ParseFirmwareImage(
                  MakeFirmwareImage("AB12", kImageBlock, 1, "exactly 16 chars").data(), kImageBlock)
                  ->build,
              "exactly 16 chars");
    EXPECT_NE(MakeFirmwareImage("QM0F", kImageBlock, 1), MakeFirmwareImage("QM0F", kImageBlock, 2));
}

TEST(ImageFormat, MakeRefusesBadArguments) {
    for (std::uint32_t size : {0u, 8192u, kImageBlock - 1, kImageBlock + 1}) {
        EXPECT_THROW(MakeFirmwareImage("QM0F", size), std::invalid_argument) << size;
    }
    for (const char* revision : {"QM0", "QM0FF", "QM\n1"}) {
        EXPECT_THROW(MakeFirmwareImage(revision, kImageBlock), std::invalid_argument) << revision;
    }
    EXPECT_THROW(MakeFirmwareImage("QM0F", kImageBlock, 1, "seventeen chars.."),
                 std::invalid_argument);
}

TEST(ImageFormat, ParseRejectsDamage) {
    const Bytes good = MakeFirmwareImage("QM0F", 2 * kImageBlock);
    const auto damaged = [&](std::size_t at, std::uint8_t flip) {
        Bytes image = good;
        image[at] ^= flip;
        return Parses(image);
    };
    EXPECT_FALSE(damaged(0, 0x20));                // magic
    EXPECT_FALSE(damaged(0x14, 0x01));             // revision
    EXPECT_FALSE(damaged(0x100, 0x01));            // body
    EXPECT_FALSE(damaged(good.size() - 5, 0x01));  // the last byte under the CRC
    EXPECT_FALSE(damaged(good.size() - 1, 0x80));  // the CRC

    // Sizes that are no whole number of blocks, with a matching CRC; an unprintable revision.
    for (std::uint32_t size : {0u, kImageBlock, 2 * kImageBlock - 2}) {
        Bytes image = good;
        PutBig32(image, 0x10, size);
        Reseal(image);
        EXPECT_FALSE(Parses(image)) << size;
    }
    Bytes image = good;
    image[0x15] = 0x00;
    Reseal(image);
    EXPECT_FALSE(Parses(image));
}

TEST(ImageFormat, ParseReadsOnlyWhatIsAvailable) {
    const Bytes image = MakeFirmwareImage("QM0F", kImageBlock);
    EXPECT_FALSE(ParseFirmwareImage(nullptr, 0).has_value());
    for (std::size_t n : {0, 1, 16, 0x17, 0x3F, 0x40, 16380, 16383}) {
        EXPECT_FALSE(ParseFirmwareImage(Exact(image, n).get(), n).has_value()) << n;
    }
    Bytes lying = image;  // a size field claiming far more than there is
    PutBig32(lying, 0x10, 0xFFFFC000u);
    EXPECT_FALSE(ParseFirmwareImage(Exact(lying, lying.size()).get(), lying.size()).has_value());
}

const std::vector<Id> kIds{{0xBF, 0xD6, 0x00, 0x01}, {0xBF, 0xB6, 0x00, 0x01}};

bool Serves(const Bytes& bytes, std::size_t length, const Id& id = kIds[0], int* number = nullptr) {
    return PlaceholderProfileServes(Exact(bytes, length).get(), length, id, number);
}

TEST(ProfileFormat, MakeRefusesBadArguments) {
    EXPECT_THROW(MakePlaceholderProfile(-1, 314, kIds, 0), std::invalid_argument);
    EXPECT_THROW(MakePlaceholderProfile(256, 314, kIds, 0), std::invalid_argument);
    EXPECT_THROW(MakePlaceholderProfile(0, 314, {}, 0), std::invalid_argument);
    EXPECT_THROW(MakePlaceholderProfile(0, 314, std::vector<Id>(5), 0), std::invalid_argument);
    const auto head = static_cast<std::uint16_t>(PlaceholderProfileHead(2));
    EXPECT_THROW(MakePlaceholderProfile(0, head + 5, kIds, 6), std::invalid_argument);
    const Bytes tight = MakePlaceholderProfile(0, head + 6, kIds, 6);
    EXPECT_TRUE(Serves(tight, tight.size()));
}

TEST(ProfileServes, AcceptsTheWholeProfileForEachOfItsIds) {
    const Bytes profile = MakePlaceholderProfile(19, 1234, kIds, 0);
    for (const Id& id : kIds) {
        int number = -1;
        EXPECT_TRUE(Serves(profile, profile.size(), id, &number));
        EXPECT_EQ(number, 19);
    }
    int untouched = -1;
    EXPECT_FALSE(Serves(profile, profile.size(), {0xBF, 0xD6, 0x00, 0x02}, &untouched));
    EXPECT_EQ(untouched, -1);
}

TEST(ProfileServes, AcceptsACutOnlyWithinTheZeroTail) {
    const Bytes tailed = MakePlaceholderProfile(2, 1280, kIds, 6);
    for (std::size_t length = 1274; length <= 1280; ++length) {
        EXPECT_TRUE(Serves(tailed, length)) << length;
    }
    EXPECT_FALSE(Serves(tailed, 1273));
    const Bytes plain = MakePlaceholderProfile(7, 698, kIds, 0);
    EXPECT_FALSE(Serves(plain, 697));
}

TEST(ProfileServes, AcceptsOneZeroPadByteAfterAnOddSize) {
    Bytes odd = MakePlaceholderProfile(4, 315, kIds, 0);
    odd.push_back(0);
    EXPECT_TRUE(Serves(odd, 316));
    odd.back() = 0x5A;
    EXPECT_FALSE(Serves(odd, 316));
    odd.push_back(0);
    EXPECT_FALSE(Serves(odd, 317));

    Bytes even = MakePlaceholderProfile(4, 314, kIds, 0);
    even.push_back(0);
    EXPECT_FALSE(Serves(even, 315));
}

TEST(ProfileServes, RejectsOtherShiftedDamagedAndGarbage) {
    const Bytes mine = MakePlaceholderProfile(2, 1280, kIds, 6);
    const Bytes theirs = MakePlaceholderProfile(3, 1280, {{0x37, 0x8C, 0x00, 0x01}}, 6);
    EXPECT_FALSE(Serves(theirs, theirs.size()));

    // One byte early (a header byte in front) or one byte late (the first byte lost).
    Bytes early{0x00};
    early.insert(early.end(), mine.begin(), mine.end());
    EXPECT_FALSE(Serves(early, early.size() - 1));
    const Bytes late(mine.begin() + 1, mine.end());
    EXPECT_FALSE(Serves(late, late.size()));

    for (std::size_t at : {4, 5, 7, 9, 17, 20, 600, 1273, 1279}) {
        Bytes damaged = mine;
        damaged[at] ^= 0x01;
        EXPECT_FALSE(Serves(damaged, damaged.size())) << at;
    }

    EXPECT_FALSE(PlaceholderProfileServes(nullptr, 0, kIds[0]));
    EXPECT_FALSE(Serves(Bytes(1280, 0), 1280));
    Bytes noise = mine;
    for (std::size_t i = 8; i < noise.size(); ++i)
        noise[i] = static_cast<std::uint8_t>(i * 97);
    EXPECT_FALSE(Serves(noise, noise.size()));
    // Every prefix too short to be accepted, each in an allocation of its own length.
    for (std::size_t length = 0; length < 1274; ++length) {
        EXPECT_FALSE(Serves(mine, length)) << length;
    }
}

}  // namespace
}  // namespace sim
