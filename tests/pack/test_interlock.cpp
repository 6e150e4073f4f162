// The interlock: an updater carrying the placeholder flash profiles, which are no drive code,
// takes a real drive's image only when the manifest declares it for the emulated drive.
#include <gtest/gtest.h>

#include <algorithm>

#include "flash/flash_tables.h"
#include "pack.h"
#include "pack_test_util.h"

namespace quiver::pack {
namespace {

using namespace testing;
using nlohmann::json;

TEST(PackInterlock, SignatureIsTheStartOfPlaceholderProfileZero) {
    const auto signature = PlaceholderProfileSignature();
    EXPECT_TRUE(std::equal(signature.begin(), signature.begin() + 5, "QVPF\0"));
    if (!FlashProfilesArePlaceholders()) {
        GTEST_SKIP() << "this build carries the drive makers' profiles";
    }
    EXPECT_TRUE(std::equal(signature.begin(), signature.end(), FlashProfiles()));
}

TEST(PackInterlock, PlaceholderProfilesTakeARealImageOnlyForTheEmulatedDrive) {
    ScratchDir dir;
    WriteBytes(dir / "real.bin", RawImage(32768));
    WriteBytes(dir / "emulated.bin", EmulatedImage("QM10", 32768));
    const auto signature = PlaceholderProfileSignature();
    struct Case {
        bool placeholders;
        const char* image;
        bool emulated_drive;
        bool error;
        bool warning;
    };
    const Case cases[] = {
        {true, "real.bin", false, true, false},      {true, "real.bin", true, false, true},
        {true, "emulated.bin", false, false, false}, {true, "emulated.bin", true, false, false},
        {false, "real.bin", false, false, false},    {false, "real.bin", true, false, true},
        {false, "emulated.bin", false, false, true}, {false, "emulated.bin", true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.placeholders ? "placeholder updater, " : "updater, ") + c.image +
                     (c.emulated_drive ? ", emulatedDrive" : ""));
        Bytes updater = RawUpdater();
        if (c.placeholders) {
            updater.insert(updater.begin() + 10, signature.begin(), signature.end());
        }
        const json manifest = ManifestJson(json::array({Bank(c.image, "QM10")}), c.emulated_drive);
        const FillResult r = Fill(updater, manifest.dump(), dir.path());
        const auto& problems = r.diagnostics.list();
        EXPECT_EQ(r.diagnostics.HasErrors(), c.error) << r.diagnostics.Format();
        EXPECT_EQ(r.file.empty(), c.error);
        const bool warned = std::any_of(problems.begin(), problems.end(), [](const Problem& p) {
            return p.severity == Problem::Severity::Warning;
        });
        EXPECT_EQ(warned, c.warning) << r.diagnostics.Format();
    }
}

TEST(PackInterlock, ProfileBytesInsideTheOldImageAreaDoNotCount) {
    ScratchDir dir;
    WriteBytes(dir / "real.bin", RawImage(16384));
    Bytes updater = RawUpdater(1000);
    const auto signature = PlaceholderProfileSignature();
    std::copy(signature.begin(), signature.end(), updater.begin() + 1000 + kImageAreaOffset + 64);
    const FillResult r = Fill(
        updater, ManifestJson(json::array({Bank("real.bin", "QM10")}), false).dump(), dir.path());
    EXPECT_FALSE(r.diagnostics.HasErrors()) << r.diagnostics.Format();
}

}  // namespace
}  // namespace quiver::pack
