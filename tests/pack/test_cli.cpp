// quiver-pack as a command, on updaters built here: fill then show, the filled program reading
// its new package, both Windows pointer widths, and the refusals with their exit codes.
//
// Still to come: a check that an updater packed here runs a whole update in quiver-sim, once
// quiver-sim can take an updater file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "flash/flash_tables.h"
#include "pack_test_util.h"

namespace quiver::pack {
namespace {

using namespace testing;
using nlohmann::json;

std::string RunProgram(const fs::path& program) {
    std::string out;
    FILE* pipe = ::popen(Quote(program).c_str(), "r");
    char buffer[4096];
    std::size_t n;
    while (pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    if (pipe != nullptr) {
        ::pclose(pipe);
    }
    return out;
}

// Two banks of emulated-drive images, and the manifest naming them by relative paths.
fs::path WriteTwoBankManifest(const ScratchDir& dir) {
    fs::create_directories(dir / "images");
    WriteBytes(dir / "images/a.bin", EmulatedImage("QM10", 32768, 5));
    WriteBytes(dir / "images/b.bin", EmulatedImage("QM11", 16384, 6));
    json m = ManifestJson(
        json::array({Bank("images/a.bin", "QM10"),
                     Bank("images/b.bin", "QM11", json::array({Entry("", "", "OTHER   ", "")}))}));
    m["flags"]["HOW_MANY_BIN"] = 2;
    WriteText(dir / "pack.json", m.dump(2));
    return dir / "pack.json";
}

json ShowJson(const fs::path& file) {
    const CommandResult show = Command("show --json " + Quote(file));
    EXPECT_EQ(show.status, 0) << show.output;
    return json::parse(show.output, nullptr, false);
}

void ExpectTwoBankPackage(const json& p) {
    ASSERT_FALSE(p.is_discarded());
    EXPECT_EQ(p["block"]["foundBy"], "section");
    EXPECT_EQ(p["title"], "Test updater");
    EXPECT_EQ(p["version"], "v9.9");
    EXPECT_EQ(p["date"], "2024/01/02");
    EXPECT_EQ(p["driveName"], "Korvane DVDRW KMR-730T");
    EXPECT_EQ(p["howManyBin"], 2);
    EXPECT_EQ(p["imageAreaFilled"], true);
    std::map<std::string, int> flags;
    for (const auto& f : p["flags"]) {
        flags[f["key"]] = f["value"];
    }
    EXPECT_EQ(flags, (std::map<std::string, int>{{"N2OMESSAGE", 1},
                                                 {"CHKDISC", 0},
                                                 {"BOOTCODE", 1},
                                                 {"REBOOT", 0},
                                                 {"AUTOMODE", 0},
                                                 {"CLOSEAP", 0},
                                                 {"WARNING", 0},
                                                 {"ADMIN", 1},
                                                 {"NBWARNING", 0},
                                                 {"HOW_MANY_BIN", 2}}));
    const json& b1 = p["banks"][0];
    EXPECT_EQ(b1["start"], 0);
    EXPECT_EQ(b1["size"], 32768);
    EXPECT_EQ(b1["newRevision"], "QM10");
    EXPECT_EQ(b1["image"]["emulatedDrive"], true);
    EXPECT_EQ(b1["image"]["revision"], "QM10");
    EXPECT_EQ(b1["constraints"][0]["lowest"], "QM01");
    EXPECT_EQ(b1["constraints"][0]["vendor"], "Korvane ");
    EXPECT_EQ(b1["constraints"][0]["product"], "DVDRW KMR-730T  ");
    EXPECT_EQ(b1["constraints"][1]["placeholder"], true);
    const json& b2 = p["banks"][1];
    EXPECT_EQ(b2["start"], 32768);
    EXPECT_EQ(b2["size"], 16384);
    EXPECT_EQ(b2["image"]["revision"], "QM11");
    EXPECT_EQ(b2["constraints"][0]["vendor"], "OTHER   ");
    EXPECT_EQ(b2["constraints"][0]["lowest"], "");
    EXPECT_EQ(p["banks"][2]["filled"], false);
    EXPECT_EQ(p["banks"][3]["newRevision"], "N/A ");
    // Bank 4's first entry is a placeholder, but the matching never reads a bank not filled.
    EXPECT_EQ(p["banks"][3]["admitsEveryDrive"], false);
    EXPECT_EQ(p["admitsEveryDrive"], false);
}

TEST(PackCli, FillThenShowOnTheLinuxUpdaterWhichThenReadsItsNewPackage) {
    ScratchDir dir;
    const fs::path manifest = WriteTwoBankManifest(dir);
    const fs::path out = dir / "updater";
    const Bytes before = ReadBytes(PACK_FIXTURE_ELF);
    const CommandResult fill =
        Command("fill " + Quote(manifest) + " '" PACK_FIXTURE_ELF "' -o " + Quote(out));
    ASSERT_EQ(fill.status, 0) << fill.output;
    EXPECT_EQ(ReadBytes(PACK_FIXTURE_ELF), before) << "the input must stay as it was";
    const Bytes after = ReadBytes(out);
    ASSERT_EQ(after.size(), before.size());

    const json p = ShowJson(out);
    ExpectTwoBankPackage(p);
    EXPECT_EQ(p["placeholderFlashProfiles"], FlashProfilesArePlaceholders());

    // The program reads the bytes in its file, not a copy the compiler kept.
    const std::string printed = RunProgram(out);
    EXPECT_NE(printed.find("title=Test updater\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("how_many_bin=HOW_MANY_BIN=2\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("new_fw1=NEW_FW1=QM10\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("image=4b4d522d37333054\n"), std::string::npos)
        << printed;  // "KMR-730T"
    const std::string original = RunProgram(PACK_FIXTURE_ELF);
    EXPECT_NE(original.find("title=Flash Program for Korvane DVDRW KMR-730T\n"), std::string::npos);

    const CommandResult text = Command("show " + Quote(out));
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.output.find("HOW_MANY_BIN=2  2 filled banks"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("entry 1: lowest \"\", highest \"\", vendor \"OTHER   \""),
              std::string::npos)
        << text.output;
}

TEST(PackCli, FillThenShowOnTheWindowsUpdatersOfBothWidths) {
    bool any = false;
    for (const auto& [exe, format] :
         {std::pair{PACK_FIXTURE_PE64, "PE32+"}, std::pair{PACK_FIXTURE_PE32, "PE32"}}) {
        if (std::string(exe).empty()) {
            continue;
        }
        any = true;
        SCOPED_TRACE(format);
        ScratchDir dir;
        const fs::path out = dir / "quiver.exe";
        const CommandResult fill =
            Command("fill " + Quote(WriteTwoBankManifest(dir)) + " '" + exe + "' -o " + Quote(out));
        ASSERT_EQ(fill.status, 0) << fill.output;
        const json p = ShowJson(out);
        ExpectTwoBankPackage(p);
        EXPECT_EQ(p["block"]["format"], format);

        if (FlashProfilesArePlaceholders()) {
            // The interlock holds on Windows programs too.
            WriteBytes(dir / "real.bin", RawImage(16384));
            WriteText(dir / "real.json",
                      ManifestJson(json::array({Bank("real.bin", "QM10")}), false).dump());
            const fs::path refused = dir / "refused.exe";
            const CommandResult r =
                Command("fill " + Quote(dir / "real.json") + " '" + exe + "' -o " + Quote(refused));
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.output.find("error: banks[0].image: "), std::string::npos) << r.output;
            EXPECT_FALSE(fs::exists(refused));
        }
    }
    if (!any) {
        GTEST_SKIP() << "no MinGW compiler: no Windows updaters were built";
    }
}

TEST(PackCli, InPlaceOnlyWhenAskedAndNothingWrittenOnErrors) {
    ScratchDir dir;
    const fs::path manifest = WriteTwoBankManifest(dir);
    const fs::path updater = dir / "updater";
    fs::copy_file(PACK_FIXTURE_ELF, updater);
    const Bytes original = ReadBytes(updater);

    EXPECT_EQ(Command("fill " + Quote(manifest) + " " + Quote(updater) + " -o " +
                      Quote(dir.path() / "." / "updater"))
                  .status,
              1);
    EXPECT_EQ(Command("fill " + Quote(manifest) + " " + Quote(updater)).status, 2);
    EXPECT_EQ(Command("fill " + Quote(manifest) + " " + Quote(updater) + " --in-place -o x").status,
              2);
    EXPECT_EQ(ReadBytes(updater), original);

    // A manifest with several faults: each is named, the exit status says so, no file appears.
    WriteText(dir / "bad.json", R"({"version": "v1", "driveName": "D", "title": "",
        "flags": {"WARNING": 12}, "banks": [{"image": "nothing.bin", "newRevision": "QM10"}]})");
    const CommandResult bad = Command("fill " + Quote(dir / "bad.json") + " " + Quote(updater) +
                                      " -o " + Quote(dir / "never"));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("error: flags.WARNING: "), std::string::npos) << bad.output;
    EXPECT_NE(bad.output.find("error: banks[0].image: "), std::string::npos) << bad.output;
    EXPECT_FALSE(fs::exists(dir / "never"));

    const CommandResult in_place =
        Command("fill " + Quote(manifest) + " " + Quote(updater) + " --in-place");
    ASSERT_EQ(in_place.status, 0) << in_place.output;
    EXPECT_NE(ReadBytes(updater), original);
    EXPECT_EQ(ShowJson(updater)["title"], "Test updater");
    EXPECT_TRUE((fs::status(updater).permissions() & fs::perms::owner_exec) != fs::perms::none);

    EXPECT_EQ(Command("show " + Quote(manifest)).status, 1);  // no block in it
    EXPECT_EQ(Command("pack").status, 2);
}

}  // namespace
}  // namespace quiver::pack
