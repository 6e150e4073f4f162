// quiver-pack under hostile input: files that are no regular files or far too large, outputs that
// lead elsewhere, failing writes, and manifests built to confuse, crash or mislead the reader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <ostream>
#include <string>

#include "files.h"
#include "pack.h"
#include "pack_test_util.h"

namespace quiver::pack {
namespace {

using namespace testing;
using nlohmann::json;

// A manifest text around one bank whose image is "img.bin"; `members` are the bank's members
// after its image and new revision.
std::string WithBank(const std::string& members) {
    return R"({"version": "v1", "driveName": "D", "emulatedDrive": true, "banks": [{"image": )"
           R"("img.bin", "newRevision": "QM10", )" +
           members + "}]}";
}

// `{"version": [[...]]}`: the top object and `arrays` arrays inside it.
std::string Nested(std::size_t arrays) {
    return R"({"version": )" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
}

// A flag whose value is `arrays` arrays deep: an error message that showed the value would have
// to walk all of them.
std::string NestedFlag(std::size_t arrays) {
    return R"({"version": "v1", "driveName": "D", "flags": {"WARNING": )" +
           std::string(arrays, '[') + std::string(arrays, ']') + "}}";
}

std::string Repeat(const char* part, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += part;
    }
    return text;
}

constexpr char kKorvane[] = R"("constraints": [{"vendor": "Korvane "}])";

struct ManifestCase {
    const char* name;
    std::string text;
    std::string field;    // of the error
    const char* message;  // part of the error
};

void PrintTo(const ManifestCase& c, std::ostream* os) {
    *os << c.name << " (refused at " << c.field << ": \"" << c.message << "\")";
}

class PackHostileManifests : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(PackHostileManifests, AreRefusedNamingTheFieldWithoutEchoingTheInput) {
    const ManifestCase& c = GetParam();
    ScratchDir dir;
    WriteBytes(dir / "img.bin", EmulatedImage("QM10", 16384));
    const FillResult r = Fill(RawUpdater(), c.text, dir.path());
    EXPECT_TRUE(r.file.empty());
    bool found = false;
    for (const Problem& p : r.diagnostics.list()) {
        found = found || (p.severity == Problem::Severity::Error && p.field == c.field &&
                          p.message.find(c.message) != std::string::npos);
    }
    EXPECT_TRUE(found) << "no error at " << c.field << " saying \"" << c.message << "\"\n"
                       << r.diagnostics.Format();
    // However large the manifest, what is printed stays short.
    EXPECT_LT(r.diagnostics.Format().size(), 2000u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PackHostileManifests,
    ::testing::Values(
        // A second "constraints" would silently widen the bank to every drive.
        ManifestCase{"KeyGivenTwice", WithBank(std::string(kKorvane) + R"(, "constraints": [{}])"),
                     "banks[0].constraints", "the key is given twice"},
        ManifestCase{"TopLevelKeyGivenTwice",
                     R"({"version": "v1", "version": "v2", "driveName": "D", "banks": []})",
                     "version", "the key is given twice"},
        ManifestCase{"EmptyEntry", WithBank(R"("constraints": [{}])"), "banks[0].constraints[0]",
                     "sets no condition"},
        ManifestCase{"EntryOfEmptyTexts",
                     WithBank(R"("constraints": [{"vendor": "Korvane "}, )"
                              R"({"lowest": "", "highest": "", "vendor": "", "product": ""}])"),
                     "banks[0].constraints[1]", "sets no condition"},
        ManifestCase{"AdmitAnyDriveWithEntries",
                     WithBank(std::string(kKorvane) + R"(, "admitAnyDrive": true)"),
                     "banks[0].constraints", "takes no constraint entries"},
        ManifestCase{"AdmitAnyDriveNotABoolean", WithBank(R"("admitAnyDrive": 1)"),
                     "banks[0].admitAnyDrive", "expected true or false"},
        // 64 levels are read; one more is refused before the reader goes any deeper.
        ManifestCase{"SixtyFourLevels", Nested(63), "version", "expected a string"},
        ManifestCase{"SixtyFiveLevels", Nested(64), "version" + Repeat("[0]", 63),
                     "nested deeper than 64 levels"},
        ManifestCase{"HundredThousandLevels", NestedFlag(100000),
                     "flags.WARNING" + Repeat("[0]", 62), "nested deeper than 64 levels"},
        // Numbers are checked before anything adds to them.
        ManifestCase{"StartAtTheLargestInteger",
                     WithBank(std::string(kKorvane) + R"(, "start": 9223372036854775807)"),
                     "banks[0].start", "from 0 to 1048576"},
        ManifestCase{"StartBeyondEveryInteger",
                     WithBank(std::string(kKorvane) + R"(, "start": 18446744073709551616)"),
                     "banks[0].start", "from 0 to 1048576"},
        ManifestCase{"StartNegative", WithBank(std::string(kKorvane) + R"(, "start": -16384)"),
                     "banks[0].start", "from 0 to 1048576"},
        ManifestCase{"NumberBeyondADouble",
                     R"({"version": "v1", "driveName": "D", "flags": {"WARNING": 1e999}})", "",
                     "not valid JSON"},
        // Long keys and values are shown cut.
        ManifestCase{"LongUnknownKey",
                     WithBank(kKorvane + (", \"" + std::string(100000, 'k') + "\": 1")),
                     "banks[0]." + std::string(40, 'k') + "... (100000 characters)", "unknown key"},
        ManifestCase{"LongFlagValue",
                     R"({"version": "v1", "driveName": "D", "flags": {"WARNING": ")" +
                         std::string(100000, '9') + "\"}}",
                     "flags.WARNING", "(100000 characters)"},
        ManifestCase{"ControlCharactersInAKey",
                     WithBank(std::string(kKorvane) + R"(, "\u001b[2J": 1)"), "banks[0].\\x1B[2J",
                     "unknown key"}),
    [](const ::testing::TestParamInfo<ManifestCase>& info) { return info.param.name; });

TEST(PackHostileManifests, AdmitAnyDriveWritesAnEntryWithoutConditionsAndShowSaysSo) {
    ScratchDir dir;
    WriteBytes(dir / "img.bin", EmulatedImage("QM10", 16384));
    const FillResult any = Fill(RawUpdater(), WithBank(R"("admitAnyDrive": true)"), dir.path());
    ASSERT_FALSE(any.file.empty()) << any.diagnostics.Format();
    EXPECT_NE(any.diagnostics.Format().find("warning: banks[0].admitAnyDrive: "), std::string::npos)
        << any.diagnostics.Format();
    const std::size_t at = any.location->offset;
    const std::size_t entries = at + offsetof(PackageHeader, constraints);
    constexpr std::size_t kEntry = sizeof(ConstraintEntry);
    EXPECT_EQ(SlotText(any.file, entries, kEntry), std::string(kEntry, '\0'));
    EXPECT_EQ(SlotText(any.file, entries + kEntry, 8), Padded("#FLSH12", 8));
    const json shown = DescribePackage(any.file, *any.location);
    EXPECT_EQ(shown["admitsEveryDrive"], true);
    EXPECT_EQ(shown["admitsEveryDriveBy"],
              json::parse(R"([{"bank": 1, "entry": 1, "why": "an entry without any condition"}])"));
    EXPECT_EQ(shown["banks"][0]["admitsEveryDriveEntry"], 1);

    // A bank without constraints keeps its placeholder, which admits every drive as well.
    const FillResult none = Fill(RawUpdater(), WithBank(R"("start": 0)"), dir.path());
    ASSERT_FALSE(none.file.empty()) << none.diagnostics.Format();
    const json placeholder = DescribePackage(none.file, *none.location);
    EXPECT_EQ(placeholder["admitsEveryDrive"], true);
    EXPECT_NE(placeholder["admitsEveryDriveBy"][0]["why"].get<std::string>().find("placeholder"),
              std::string::npos);

    // An entry cleared by hand anywhere in a filled bank admits every drive too; the text
    // output says where.
    const FillResult korvane = Fill(RawUpdater(), WithBank(kKorvane), dir.path());
    ASSERT_FALSE(korvane.file.empty()) << korvane.diagnostics.Format();
    EXPECT_EQ(DescribePackage(korvane.file, *korvane.location)["admitsEveryDrive"], false);
    Bytes edited = korvane.file;
    std::fill_n(edited.begin() + static_cast<std::ptrdiff_t>(entries + 2 * kEntry), kEntry, 0);
    const json cleared = DescribePackage(edited, *korvane.location);
    EXPECT_EQ(cleared["admitsEveryDriveBy"][0]["entry"], 3);
    EXPECT_NE(RenderPackage(cleared).find("ADMITS EVERY DRIVE in use, of any maker, model and "
                                          "revision: bank 1, entry 3"),
              std::string::npos)
        << RenderPackage(cleared);
}

// ---- files ---------------------------------------------------------------------------------

// Every case starts from a folder with a good manifest (ok.json), its image and an updater.
void LayOut(const ScratchDir& dir) {
    WriteBytes(dir / "img.bin", EmulatedImage("QM10", 16384));
    WriteText(dir / "ok.json", WithBank(kKorvane));
    fs::copy_file(PACK_FIXTURE_ELF, dir / "updater");
}

void MakeFifo(const fs::path& path) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

// A file of `size` bytes that takes no room.
void MakeSparse(const fs::path& path, std::uintmax_t size) {
    WriteBytes(path, {});
    fs::resize_file(path, size);
}

std::string FillArgs(const ScratchDir& dir, const std::string& manifest, const std::string& updater,
                     const std::string& output) {
    return "fill " + Quote(dir / manifest) + " " + Quote(dir / updater) + " " + output;
}

std::string FillOut(const ScratchDir& dir, const std::string& updater = "updater") {
    return FillArgs(dir, "ok.json", updater, "-o " + Quote(dir / "out"));
}

struct FileCase {
    const char* name;
    // Prepares the case in the laid-out folder and gives quiver-pack's arguments.
    std::function<std::string(const ScratchDir&)> setup;
    int status;
    const char* output;  // part of what quiver-pack prints
    // Checks what must hold afterwards.
    std::function<void(const ScratchDir&)> check = [](const ScratchDir& dir) {
        EXPECT_FALSE(fs::exists(dir / "out"));
    };
    const char* shell = "";  // run before quiver-pack
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name << " (status " << c.status << ", \"" << c.output << "\")";
}

class PackHostileFiles : public ::testing::TestWithParam<FileCase> {};

TEST_P(PackHostileFiles, AreRefusedOrHandledSafely) {
    const FileCase& c = GetParam();
    ScratchDir dir;
    LayOut(dir);
    const std::string args = c.setup(dir);
    // A FIFO opened the blocking way would wait for ever; the limit turns that into a failure.
    const CommandResult r = Command(args, std::string(c.shell) + " timeout 60");
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.output), std::string::npos) << r.output;
    c.check(dir);
    // Nothing of a new file is left behind.
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_FALSE(entry.path().extension() == ".tmp" &&
                     !fs::is_symlink(fs::symlink_status(entry.path())))
            << entry.path();
    }
}

const std::string kVictimText = "not to be overwritten\n";

void ExpectVictimUntouched(const ScratchDir& dir) {
    std::ifstream in(dir / "victim");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kVictimText);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PackHostileFiles,
    ::testing::Values(
        FileCase{"UpdaterIsAFifo",
                 [](const ScratchDir& dir) {
                     MakeFifo(dir / "fifo");
                     return FillOut(dir, "fifo");
                 },
                 1, "is a FIFO, not a regular file"},
        FileCase{"UpdaterIsADevice",
                 [](const ScratchDir& dir) {
                     return FillArgs(dir, "ok.json", "/dev/zero", "-o " + Quote(dir / "out"));
                 },
                 1, "is a character device, not a regular file"},
        FileCase{"UpdaterIsAFolder", [](const ScratchDir& dir) { return FillOut(dir, "."); }, 1,
                 "is a folder, not a regular file"},
        FileCase{"UpdaterOf16GiB",
                 [](const ScratchDir& dir) {
                     MakeSparse(dir / "huge", std::uintmax_t{16} << 30);
                     return FillOut(dir, "huge");
                 },
                 1, "is 17179869184 bytes; at most 268435456 are taken"},
        FileCase{"ImageIsAFifo",
                 [](const ScratchDir& dir) {
                     fs::remove(dir / "img.bin");
                     MakeFifo(dir / "img.bin");
                     return FillOut(dir);
                 },
                 1, "error: banks[0].image: "},
        FileCase{"ImageOf1GiB",
                 [](const ScratchDir& dir) {
                     fs::remove(dir / "img.bin");
                     MakeSparse(dir / "img.bin", std::uintmax_t{1} << 30);
                     return FillOut(dir);
                 },
                 1, "bytes; the image area holds 1,048,576"},
        FileCase{"ManifestIsAFifo",
                 [](const ScratchDir& dir) {
                     MakeFifo(dir / "fifo");
                     return FillArgs(dir, "fifo", "updater", "-o " + Quote(dir / "out"));
                 },
                 1, "the manifest: "},
        FileCase{"ManifestOf2MiB",
                 [](const ScratchDir& dir) {
                     MakeSparse(dir / "big.json", std::uintmax_t{2} << 20);
                     return FillArgs(dir, "big.json", "updater", "-o " + Quote(dir / "out"));
                 },
                 1, "is 2097152 bytes; at most 1048576 are taken"},
        FileCase{"OutputIsAFifo",
                 [](const ScratchDir& dir) {
                     MakeFifo(dir / "out");
                     return FillOut(dir);
                 },
                 1, "is a FIFO, not a regular file; refusing to replace it",
                 [](const ScratchDir& dir) {
                     EXPECT_TRUE(fs::is_fifo(fs::symlink_status(dir / "out")));
                 }},
        FileCase{"OutputIsAFolder",
                 [](const ScratchDir& dir) {
                     fs::create_directory(dir / "out");
                     return FillOut(dir);
                 },
                 1, "is a folder",
                 [](const ScratchDir& dir) {
                     EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / "out")));
                 }},
        FileCase{"OutputIsASymbolicLink",
                 [](const ScratchDir& dir) {
                     WriteText(dir / "victim", kVictimText);
                     fs::create_symlink("victim", dir / "out");
                     return FillOut(dir);
                 },
                 1, "is a symbolic link",
                 [](const ScratchDir& dir) {
                     EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "out")));
                     ExpectVictimUntouched(dir);
                 }},
        // The name the temporary file once had, planted as a link to another file.
        FileCase{"LinkAtTheOldTemporaryName",
                 [](const ScratchDir& dir) {
                     WriteText(dir / "victim", kVictimText);
                     fs::create_symlink("victim", dir / "out.quiver-pack.tmp");
                     return FillOut(dir);
                 },
                 0, "filled the package block",
                 [](const ScratchDir& dir) {
                     ExpectVictimUntouched(dir);
                     EXPECT_EQ(fs::file_size(dir / "out"), fs::file_size(dir / "updater"));
                 }},
        FileCase{"InPlaceThroughASymbolicLink",
                 [](const ScratchDir& dir) {
                     fs::create_symlink("updater", dir / "link");
                     return FillArgs(dir, "ok.json", "link", "--in-place");
                 },
                 0, "/updater (the file ",
                 [](const ScratchDir& dir) {
                     EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "link")));
                     EXPECT_NE(ReadBytes(dir / "updater"), ReadBytes(PACK_FIXTURE_ELF));
                     EXPECT_TRUE((fs::status(dir / "updater").permissions() &
                                  fs::perms::owner_exec) != fs::perms::none);
                 }},
        FileCase{"WriteFails", [](const ScratchDir& dir) { return FillOut(dir); }, 1,
                 "File too large",
                 [](const ScratchDir& dir) { EXPECT_FALSE(fs::exists(dir / "out")); },
                 // Files of at most 64 blocks; the signal is ignored, so the write fails.
                 "trap '' XFSZ; ulimit -f 64;"},
        FileCase{"ShowOfAFifo",
                 [](const ScratchDir& dir) {
                     MakeFifo(dir / "fifo");
                     return "show " + Quote(dir / "fifo");
                 },
                 1, "is a FIFO, not a regular file"}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return info.param.name; });

// The new file's name cannot be guessed; still, every name that exists is passed over, links
// included, whether they lead to a file or nowhere.
TEST(PackHostileFiles, ANewFileNeverOpensANameThatExists) {
    ScratchDir dir;
    WriteText(dir / "victim", kVictimText);
    fs::create_symlink("victim", dir / "new0");
    fs::create_symlink("nowhere", dir / "new1");
    int attempt = 0;
    const auto names = [&attempt](const std::string& destination) {
        EXPECT_EQ(destination, "out");
        return "new" + std::to_string(attempt++);
    };
    const Bytes bytes = RawImage(100000);
    std::string error;
    ASSERT_TRUE(ReplaceFile(dir / "out", bytes, 0750, error, names)) << error;
    EXPECT_EQ(attempt, 3);
    EXPECT_EQ(ReadBytes(dir / "out"), bytes);
    EXPECT_EQ(fs::status(dir / "out").permissions(), static_cast<fs::perms>(0750));
    ExpectVictimUntouched(dir);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_FALSE(fs::exists(dir / "new2"));  // renamed into place

    // When every name tried exists, nothing is written and the reason is given.
    fs::remove(dir / "out");
    EXPECT_FALSE(
        ReplaceFile(dir / "out", bytes, 0644, error, [](const std::string&) { return "new0"; }));
    EXPECT_NE(error.find("every name tried exists"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "out"));
    ExpectVictimUntouched(dir);
}

}  // namespace
}  // namespace quiver::pack
