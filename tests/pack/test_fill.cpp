// Filling a block from a manifest: the sample manifest, placeholders, the layout of the banks,
// and every check of the manifest reported with its field.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "pack.h"
#include "pack_test_util.h"
#include "package/block_keys.h"

namespace quiver::pack {
namespace {

using namespace testing;
using nlohmann::json;

constexpr std::size_t kAt = 1000;  // where RawUpdater puts the block

// A stand-in for an updater built with the placeholder profiles, as the emulated drive needs.
Bytes PlaceholderUpdater() {
    Bytes updater = RawUpdater();
    const auto signature = PlaceholderProfileSignature();
    updater.insert(updater.end(), signature.begin(), signature.end());
    return updater;
}

FillResult FillWith(const ScratchDir& dir, const json& manifest,
                    Bytes updater = PlaceholderUpdater()) {
    return Fill(std::move(updater), manifest.dump(), dir.path());
}

Bytes BlockOf(const FillResult& r) {
    EXPECT_FALSE(r.diagnostics.HasErrors()) << r.diagnostics.Format();
    if (r.file.size() < kAt + kPackageSize) {
        return Bytes(kPackageSize, 0);
    }
    return Bytes(r.file.begin() + kAt, r.file.begin() + kAt + kPackageSize);
}

std::set<std::string> Fields(const Diagnostics& d, Problem::Severity severity) {
    std::set<std::string> fields;
    for (const Problem& p : d.list()) {
        if (p.severity == severity) {
            fields.insert(p.field);
        }
    }
    return fields;
}

TEST(PackFill, SampleManifestReproducesTheBuiltInPackage) {
    // Fill a block with something else first, so that nothing of the default survives by chance.
    ScratchDir dir;
    WriteBytes(dir / "a.bin", RawImage(16384));
    WriteBytes(dir / "b.bin", RawImage(32768));
    const json other = ManifestJson(
        {Bank("a.bin", "AAAAAAA", json::array({Entry("1", "2", "x", "y")})), Bank("b.bin", "B")});
    FillResult first = FillWith(dir, other);
    ASSERT_FALSE(first.diagnostics.HasErrors()) << first.diagnostics.Format();

    // The sample names the demo image of the "linux" preset; this build has its own.
    std::ifstream in(PACK_MANIFESTS_DIR "/kmr730t-demo.json");
    json sample = json::parse(in);
    ASSERT_EQ(sample["banks"][0]["image"], "../../build/linux/generated/demo_image.bin");
    sample["banks"][0]["image"] = PACK_DEMO_IMAGE_DIR "/demo_image.bin";
    const FillResult r = Fill(std::move(first.file), sample.dump(), dir.path());
    const Bytes block = BlockOf(r);

    const Bytes expected_header = quiver::testing::CopyOfEmbeddedPackage();
    EXPECT_TRUE(
        std::equal(block.begin(), block.begin() + kImageAreaOffset, expected_header.begin()))
        << "the header differs from the built-in package";
    const Bytes demo = ReadBytes(PACK_DEMO_IMAGE_DIR "/demo_image.bin");
    ASSERT_EQ(demo.size(), kImageAreaSize);
    EXPECT_TRUE(std::equal(demo.begin(), demo.end(), block.begin() + kImageAreaOffset));
    EXPECT_EQ(block.back(), 0);
    // Neither an image for real drives nor a misfit: the sample packs without a word.
    EXPECT_TRUE(r.diagnostics.list().empty()) << r.diagnostics.Format();
}

TEST(PackFill, UnfilledEntriesAndBanksHoldThePlaceholdersByteForByte) {
    ScratchDir dir;
    WriteBytes(dir / "one.bin", EmulatedImage("QM10", 16384));
    // Start from a block whose every entry is filled, so that placeholders must be written.
    Bytes updater = PlaceholderUpdater();
    Bytes block(updater.begin() + kAt, updater.begin() + kAt + kPackageSize);
    for (int b = 1; b <= 4; ++b) {
        for (int e = 1; e <= 8; ++e) {
            quiver::testing::PutEntry(block, b, e, "AAAA", "BBBB", "CCCCCCCC", "DDDDDDDDDDDDDDDD");
        }
    }
    std::copy(block.begin(), block.end(), updater.begin() + kAt);

    const FillResult r = FillWith(dir, ManifestJson({Bank("one.bin", "QM10")}), updater);
    block = BlockOf(r);
    for (int b = 1; b <= 4; ++b) {
        for (int e = 1; e <= 8; ++e) {
            if (b == 1 && e == 1) {
                continue;
            }
            std::string expected(48, '\0');
            expected.replace(0, 7, "#FLSH" + std::to_string(b) + std::to_string(e));
            expected[8] = expected[16] = expected[28] = '#';
            EXPECT_EQ(SlotText(block, quiver::testing::EntryOffset(b, e), 48), expected)
                << "bank " << b << " entry " << e;
        }
    }
    EXPECT_EQ(SlotText(block, quiver::testing::EntryOffset(1, 1), 48),
              Padded("QM01", 8) + Padded("QM0F", 8) + Padded("Korvane ", 12) +
                  Padded("DVDRW KMR-730T  ", 20));
    for (int bank = 2; bank <= 4; ++bank) {
        const std::string n = std::to_string(bank);
        EXPECT_EQ(SlotText(block, BinStartOffset(bank), 22),
                  Padded("BIN_START" + n + "=0000000000", 22));
        EXPECT_EQ(SlotText(block, BinSizeOffset(bank), 21),
                  Padded("BIN_SIZE" + n + "=0000000000", 21));
        EXPECT_EQ(SlotText(block, NewFwOffset(bank), 16), Padded("NEW_FW" + n + "=N/A ", 16));
    }
    EXPECT_EQ(SlotText(block, BinSizeOffset(1), 21), Padded("BIN_SIZE1=0000016384", 21));
    EXPECT_EQ(SlotText(block, NewFwOffset(1), 16), Padded("NEW_FW1=QM10", 16));
    EXPECT_EQ(SlotText(block, 0x6EE, 13), Padded("N2OMESSAGE=1", 13));
    EXPECT_EQ(SlotText(block, 0x73F, 8), Padded("ADMIN=1", 8));
    EXPECT_EQ(SlotText(block, 0x753, 20), Padded("HOW_MANY_BIN=1", 20));
    EXPECT_EQ(SlotText(block, 0x6FB, 10), Padded("CHKDISC=0", 10));  // absent flags are 0
    // Past the one bank the image area is zero: the old marker text is gone.
    EXPECT_TRUE(std::all_of(block.begin() + kImageAreaOffset + 16384, block.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST(PackFill, BanksLieBackToBackUnlessTheyGiveTheirStart) {
    ScratchDir dir;
    WriteBytes(dir / "a.bin", RawImage(16384, 1));
    WriteBytes(dir / "b.bin", RawImage(32768, 2));
    WriteBytes(dir / "c.bin", RawImage(16384, 3));
    const auto check = [&](json banks, std::vector<std::int64_t> starts) {
        const FillResult r = FillWith(dir, ManifestJson(banks));
        const Bytes block = BlockOf(r);
        const char* names[] = {"a.bin", "b.bin", "c.bin"};
        for (std::size_t i = 0; i < starts.size(); ++i) {
            char text[64];
            std::snprintf(text, sizeof text, "BIN_START%zu=%010lld", i + 1,
                          static_cast<long long>(starts[i]));
            EXPECT_EQ(SlotText(block, BinStartOffset(static_cast<int>(i) + 1), 22),
                      Padded(text, 22));
            const Bytes image = ReadBytes(dir / names[i]);
            EXPECT_TRUE(std::equal(image.begin(), image.end(),
                                   block.begin() + kImageAreaOffset + starts[i]))
                << names[i];
        }
        EXPECT_EQ(SlotText(block, 0x753, 20), Padded("HOW_MANY_BIN=3", 20));
    };
    check(json::array({Bank("a.bin", "A1"), Bank("b.bin", "B1"), Bank("c.bin", "C1")}),
          {0, 16384, 49152});
    json explicit_start =
        json::array({Bank("a.bin", "A1"), Bank("b.bin", "B1"), Bank("c.bin", "C1")});
    explicit_start[1]["start"] = 1048576 - 32768 - 16384;
    explicit_start[2]["start"] = 16384;
    check(explicit_start, {0, 1048576 - 32768 - 16384, 16384});
    // The gap in front of an explicit start is zero.
    json gap = json::array({Bank("a.bin", "A1")});
    gap[0]["start"] = 65536;
    const Bytes block = BlockOf(FillWith(dir, ManifestJson(gap)));
    EXPECT_TRUE(std::all_of(block.begin() + kImageAreaOffset,
                            block.begin() + kImageAreaOffset + 65536,
                            [](std::uint8_t b) { return b == 0; }));
}

TEST(PackFill, EveryProblemIsReportedWithItsFieldAndNothingIsWritten) {
    ScratchDir dir;
    WriteBytes(dir / "ok.bin", EmulatedImage("QM10", 16384));
    WriteBytes(dir / "odd.bin", RawImage(16000));
    WriteBytes(dir / "big.bin", RawImage(1048576 + 16384));
    WriteBytes(dir / "empty.bin", Bytes{});
    json m = ManifestJson(json::array({
        Bank("ok.bin", "QM10ABCD",  // 8 characters
             json::array({Entry("QM010", "QM0F"), Entry("QM01", "QM0F", "Korvane X"),
                          Entry("QM01", "QM0F", "Korvane ", "DVDRW KMR-730T    X"),
                          Entry("Q\tM", "")})),
        Bank("odd.bin", "QM10"),
        Bank("big.bin", "QM10"),
        Bank("missing.bin", ""),
        Bank("empty.bin", "QM10"),
    }));
    m["title"] = std::string(64, 'T');
    m["driveName"] = std::string(65, 'D');
    m["date"] = "2024/01/02/03";
    m["version"] = "v\xC3\xA9";  // a two-byte character
    m["flags"]["CHKDISC"] = 10;
    m["flags"]["REBOOT"] = "1";
    m["flags"]["HOW_MANY_BIN"] = 4;
    m["flags"]["FASTMODE"] = 1;
    m["emulatedDrives"] = true;
    m["banks"][0]["constraints"][1]["maker"] = "x";
    const FillResult r = FillWith(dir, m);
    EXPECT_TRUE(r.file.empty());
    const std::set<std::string> expected = {"title",
                                            "driveName",
                                            "date",
                                            "version",
                                            "flags.CHKDISC",
                                            "flags.REBOOT",
                                            "flags.HOW_MANY_BIN",
                                            "flags.FASTMODE",
                                            "emulatedDrives",
                                            "banks",
                                            "banks[0].newRevision",
                                            "banks[0].constraints[0].lowest",
                                            "banks[0].constraints[1].vendor",
                                            "banks[0].constraints[1].maker",
                                            "banks[0].constraints[2].product",
                                            "banks[0].constraints[3].lowest",
                                            "banks[1].image",
                                            "banks[2].image",
                                            "banks[3].image",
                                            "banks[3].newRevision"};
    EXPECT_EQ(Fields(r.diagnostics, Problem::Severity::Error), expected) << r.diagnostics.Format();

    // Too many constraint entries; ranges past the image area and overlapping ones.
    WriteBytes(dir / "32k.bin", EmulatedImage("QM10", 32768));
    json ranges =
        ManifestJson(json::array({Bank("32k.bin", "QM10"), Bank("ok.bin", "QM10"),
                                  Bank("ok.bin", "QM10"), Bank("ok.bin", "QM10", json::array())}));
    ranges["banks"][0]["start"] = 1048576 - 16384;
    ranges["banks"][1]["start"] = 0;
    ranges["banks"][2]["start"] = 8192;  // inside bank 2
    ranges["banks"][3]["constraints"] = json::array();
    for (int i = 0; i < 9; ++i) {
        ranges["banks"][3]["constraints"].push_back(Entry("QM01", "QM0F"));
    }
    const FillResult r2 = FillWith(dir, ranges);
    EXPECT_EQ(Fields(r2.diagnostics, Problem::Severity::Error),
              (std::set<std::string>{"banks[0].start", "banks[2].start", "banks[3].constraints"}))
        << r2.diagnostics.Format();
    EXPECT_TRUE(r2.file.empty());
}

TEST(PackFill, MisfitsThatStillPackAreWarnedAbout) {
    ScratchDir dir;
    WriteBytes(dir / "img.bin", EmulatedImage("QM10", 16384));
    const json m = ManifestJson(json::array({
        Bank("img.bin", "QM1", json::array({Entry("QM0F", "QM01", "Korvane", "DVDRW KMR-730T")})),
        {{"image", "img.bin"}, {"newRevision", "QM10"}, {"start", 16384}},
    }));
    const FillResult r = FillWith(dir, m);
    EXPECT_FALSE(r.file.empty()) << r.diagnostics.Format();
    EXPECT_EQ(Fields(r.diagnostics, Problem::Severity::Warning),
              (std::set<std::string>{"banks[0].newRevision", "banks[0].constraints[0]",
                                     "banks[0].constraints[0].vendor",
                                     "banks[0].constraints[0].product", "banks[1].constraints"}))
        << r.diagnostics.Format();
}

TEST(PackFill, AnImageThatBeginsWithTheUnfilledMarkerIsRefused) {
    ScratchDir dir;
    Bytes image = RawImage(16384);
    std::copy_n("BANK_START_FROM_HERE", 19, image.begin());
    WriteBytes(dir / "marker.bin", image);
    const FillResult r = FillWith(dir, ManifestJson(json::array({Bank("marker.bin", "QM10")})));
    EXPECT_TRUE(r.file.empty());
    EXPECT_TRUE(r.diagnostics.HasErrors());
}

}  // namespace
}  // namespace quiver::pack

TEST(PackFill, JsonTheParserCannotHoldIsAManifestError) {
    // A number beyond the range of a double is valid JSON text the parser still refuses.
    quiver::pack::Diagnostics d;
    quiver::pack::ReadManifest(R"({"version": "v1", "driveName": "x", "banks": [], "date": 1e999})",
                               "/tmp", d);
    EXPECT_TRUE(d.HasErrors());
    EXPECT_NE(d.Format().find("not valid JSON"), std::string::npos) << d.Format();
}
