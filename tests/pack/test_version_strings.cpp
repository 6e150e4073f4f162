// The version strings of a Windows updater name its package: filling rewrites them in place, on
// both pointer widths, and nothing else of the file outside the block; show prints them; a
// damaged resource tree is never read outside the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>

#include "pack.h"
#include "pack_test_util.h"
#include "version_strings.h"

namespace quiver::pack {
namespace {

using namespace testing;
using nlohmann::json;

std::map<std::string, VersionString> ByKey(const VersionStrings& found) {
    std::map<std::string, VersionString> out;
    for (const VersionString& s : found.strings) {
        out[s.key] = s;
    }
    return out;
}

std::string Trimmed(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

// Where the resource section begins in a PE file: its directory tables come first.
std::size_t ResourceSectionStart(const Bytes& pe) {
    auto u16 = [&](std::size_t at) { return static_cast<std::size_t>(pe[at] | pe[at + 1] << 8); };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    const std::size_t nt = u32(0x3C);
    const std::size_t table = nt + 24 + u16(nt + 20);
    for (std::size_t i = 0; i < u16(nt + 6); ++i) {
        const std::size_t section = table + 40 * i;
        if (std::equal(pe.begin() + section, pe.begin() + section + 6, ".rsrc")) {
            return u32(section + 20);
        }
    }
    return pe.size();
}

class VersionStringsTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (std::string(GetParam()).empty()) {
            GTEST_SKIP() << "no MinGW compiler: no Windows updater was built";
        }
        updater_ = ReadBytes(GetParam());
        WriteBytes(dir_ / "a.bin", EmulatedImage("QM10", 16384, 5));
        WriteBytes(dir_ / "b.bin", EmulatedImage("QM11", 16384, 6));
    }

    FillResult FillWith(const json& manifest) {
        return Fill(updater_, manifest.dump(), dir_.path());
    }

    ScratchDir dir_;
    Bytes updater_;
};

TEST_P(VersionStringsTest, TheBuiltUpdaterCarriesTheVersionAndUnfilledPackageStrings) {
    const VersionStrings found = ReadVersionStrings(updater_);
    ASSERT_TRUE(found.present) << found.error;
    auto s = ByKey(found);
    EXPECT_EQ(s["FileVersion"].value, PACK_PROJECT_VERSION);
    EXPECT_EQ(s["ProductVersion"].value, PACK_PROJECT_VERSION);
    EXPECT_EQ(s["ProductName"].value, "Quiver");
    EXPECT_EQ(Trimmed(s["FileDescription"].value), "Quiver firmware updater (not filled)");
    for (const char* key : {"PackageTitle", "DriveName", "FirmwareVersion"}) {
        EXPECT_EQ(Trimmed(s[key].value), "(not filled)") << key;
    }
    // Room for the longest texts, each with its terminating zero.
    EXPECT_EQ(s["PackageTitle"].capacity, 64u);
    EXPECT_EQ(s["DriveName"].capacity, 65u);
    EXPECT_EQ(s["FirmwareVersion"].capacity, 35u);
    EXPECT_EQ(s["FileDescription"].capacity, 128u);
}

TEST_P(VersionStringsTest, FillingRewritesThePackageStringsInPlaceAndNothingElse) {
    json manifest = ManifestJson(
        json::array({Bank("a.bin", "QM10"), Bank("b.bin", "QM11"), Bank("a.bin", "QM10")}));
    manifest["flags"]["HOW_MANY_BIN"] = 3;
    const FillResult filled = FillWith(manifest);
    ASSERT_FALSE(filled.diagnostics.HasErrors()) << filled.diagnostics.Format();

    const auto before = ByKey(ReadVersionStrings(updater_));
    const VersionStrings after_found = ReadVersionStrings(filled.file);
    ASSERT_TRUE(after_found.present) << after_found.error;
    auto after = ByKey(after_found);
    EXPECT_EQ(after["PackageTitle"].value, "Test updater");
    EXPECT_EQ(after["DriveName"].value, "Korvane DVDRW KMR-730T");
    EXPECT_EQ(after["FirmwareVersion"].value, "QM10, QM11");  // each revision once
    EXPECT_EQ(after["FileDescription"].value, "Firmware QM10, QM11 for Korvane DVDRW KMR-730T");

    // Every byte outside the block, the four strings' values and the header's checksum is as it
    // was; inside a value, zeros follow the text up to its size, which stays as it was.
    Bytes expected = updater_;
    const std::size_t block = filled.location->offset;
    std::copy_n(filled.file.begin() + block, kPackageSize, expected.begin() + block);
    const std::size_t checksum = updater_[0x3C] + 256 * updater_[0x3D] + 24 + 64;
    std::copy_n(filled.file.begin() + checksum, 4, expected.begin() + checksum);
    for (const char* key : {"PackageTitle", "DriveName", "FirmwareVersion", "FileDescription"}) {
        const VersionString& old = before.at(key);
        EXPECT_EQ(after[key].capacity, old.capacity) << key;
        EXPECT_EQ(after[key].offset, old.offset) << key;
        for (std::size_t i = 0; i < 2 * old.capacity; ++i) {
            const std::size_t unit = i / 2;
            const std::uint8_t want =
                i % 2 == 0 && unit < after[key].value.size() ? after[key].value[unit] : 0;
            EXPECT_EQ(filled.file[old.offset + i], want) << key << " byte " << i;
            expected[old.offset + i] = want;
        }
    }
    EXPECT_TRUE(filled.file == expected) << "bytes outside the block and the strings changed";

    // show prints them; a program without version information has none to show.
    const std::string text = RenderPackage(DescribePackage(filled.file, *filled.location));
    EXPECT_NE(text.find("Version information:\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  FirmwareVersion  \"QM10, QM11\"\n"), std::string::npos) << text;
    const Bytes elf = ReadBytes(PACK_FIXTURE_ELF);
    EXPECT_FALSE(DescribePackage(elf, *LocateBlock(elf).location).contains("versionInfo"));
}

TEST_P(VersionStringsTest, TheLongestTextsFitAndAnUnnamedTitleIsTheCaptionTheUpdaterShows) {
    json banks = json::array();
    for (const char* revision : {"QM10AAA", "QM11BBB", "QM12CCC", "QM13DDD"}) {
        banks.push_back(Bank("a.bin", revision));
    }
    json manifest = ManifestJson(banks);
    manifest["title"] = std::string(63, 'T');
    manifest["driveName"] = std::string(64, 'D');
    manifest["flags"]["HOW_MANY_BIN"] = 4;
    FillResult filled = FillWith(manifest);
    ASSERT_FALSE(filled.diagnostics.HasErrors()) << filled.diagnostics.Format();
    EXPECT_EQ(filled.diagnostics.Format().find("version string"), std::string::npos)
        << filled.diagnostics.Format();
    auto s = ByKey(ReadVersionStrings(filled.file));
    EXPECT_EQ(s["PackageTitle"].value, std::string(63, 'T'));
    EXPECT_EQ(s["DriveName"].value, std::string(64, 'D'));
    EXPECT_EQ(s["FirmwareVersion"].value, "QM10AAA, QM11BBB, QM12CCC, QM13DDD");
    EXPECT_EQ(s["FileDescription"].value,
              "Firmware QM10AAA, QM11BBB, QM12CCC, QM13DDD for " + std::string(64, 'D'));

    manifest.erase("title");
    filled = FillWith(manifest);
    ASSERT_FALSE(filled.diagnostics.HasErrors()) << filled.diagnostics.Format();
    EXPECT_EQ(ByKey(ReadVersionStrings(filled.file))["PackageTitle"].value, "Quiver v9.9");
}

// Any byte of the resources may be damaged: reading never leaves the file, and filling still
// fills the block, with a warning when the strings cannot be written.
TEST_P(VersionStringsTest, ADamagedResourceTreeIsReadWithinTheFileAndOnlyWarnedAbout) {
    const VersionStrings found = ReadVersionStrings(updater_);
    ASSERT_TRUE(found.present);
    std::size_t low = updater_.size();
    std::size_t high = 0;
    for (const VersionString& s : found.strings) {
        low = std::min(low, s.offset);
        high = std::max(high, s.offset + 2 * s.capacity);
    }
    // What the reader follows: the directory tables at the start of the resource section, and
    // the version information with its header before the first string. The icons' pixels lie
    // between them and are never read.
    const std::size_t directory = ResourceSectionStart(updater_);
    ASSERT_LT(directory, low);
    const std::pair<std::size_t, std::size_t> ranges[] = {
        {directory, std::min(low, directory + 2048)},
        {low > 512 ? low - 512 : 0, std::min(updater_.size(), high + 64)}};
    Bytes damaged = updater_;
    int unreadable = 0;
    for (const auto& [from, to] : ranges) {
        for (std::size_t at = from; at < to; ++at) {
            for (const std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
                const std::uint8_t kept = damaged[at];
                damaged[at] = value;
                const VersionStrings read = ReadVersionStrings(damaged);
                unreadable += read.error.empty() ? 0 : 1;
                damaged[at] = kept;
            }
        }
    }
    EXPECT_GT(unreadable, 0) << "no damage was noticed at all";

    // The version information's own length, larger than the resource: the strings are left
    // alone, the block is filled.
    const std::u16string key = u"VS_VERSION_INFO";
    const auto* key_bytes = reinterpret_cast<const std::uint8_t*>(key.data());
    const auto at =
        std::search(damaged.begin(), damaged.end(), key_bytes, key_bytes + 2 * key.size());
    ASSERT_NE(at, damaged.end());
    const std::size_t root = static_cast<std::size_t>(at - damaged.begin()) - 6;
    damaged[root] = 0xFF;
    damaged[root + 1] = 0xFF;
    const FillResult filled =
        Fill(damaged, ManifestJson(json::array({Bank("a.bin", "QM10")})).dump(), dir_.path());
    ASSERT_FALSE(filled.diagnostics.HasErrors()) << filled.diagnostics.Format();
    EXPECT_NE(filled.diagnostics.Format().find("the version information is damaged"),
              std::string::npos)
        << filled.diagnostics.Format();
    const std::size_t block = filled.location->offset;
    EXPECT_TRUE(std::equal(filled.file.begin() + block + kPackageSize, filled.file.end(),
                           damaged.begin() + block + kPackageSize));
    EXPECT_EQ(SlotText(filled.file, block + offsetof(PackageHeader, title), 13),
              Padded("Test updater", 13));
}

INSTANTIATE_TEST_SUITE_P(BothWidths, VersionStringsTest,
                         ::testing::Values(PACK_FIXTURE_PE64, PACK_FIXTURE_PE32),
                         [](const auto& info) { return info.index == 0 ? "PE64" : "PE32"; });

}  // namespace
}  // namespace quiver::pack
