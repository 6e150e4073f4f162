// Finding the package block: by the section tables of ELF (both widths and byte orders) and PE
// (both widths), by the marker texts otherwise, and refusing damaged, ambiguous or empty files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pack_test_util.h"
#include "package/locate.h"

namespace quiver::pack {
namespace {

using testing::Bytes;

void PutNumber(Bytes& file, std::size_t at, std::uint64_t value, int width, bool big = false) {
    if (file.size() < at + width) {
        file.resize(at + width);
    }
    for (int i = 0; i < width; ++i) {
        file[at + (big ? width - 1 - i : i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

struct Section {
    std::string name;
    std::uint32_t type;  // ELF: 1 PROGBITS, 8 NOBITS
    std::uint64_t offset;
    std::uint64_t size;
};

constexpr std::size_t kBodyAt = 0x200;

// An ELF file: header, `body` at kBodyAt, the section name table, then the section headers
// (a null one, the name table, then `sections`).
Bytes MakeElf(bool is64, bool big, const Bytes& body, const std::vector<Section>& sections) {
    Bytes file(kBodyAt, 0);
    std::memcpy(file.data(),
                "\x7F"
                "ELF",
                4);
    file[4] = is64 ? 2 : 1;
    file[5] = big ? 2 : 1;
    file[6] = 1;
    file.insert(file.end(), body.begin(), body.end());
    std::string names(1, '\0');
    std::vector<std::uint32_t> name_at;
    name_at.push_back(static_cast<std::uint32_t>(names.size()));
    names += ".shstrtab";
    names += '\0';
    for (const Section& s : sections) {
        name_at.push_back(static_cast<std::uint32_t>(names.size()));
        names += s.name + '\0';
    }
    const std::uint64_t names_offset = file.size();
    file.insert(file.end(), names.begin(), names.end());
    const std::uint64_t shoff = file.size();
    const std::size_t entsize = is64 ? 64 : 40;
    std::vector<Section> all = {{"", 0, 0, 0}, {".shstrtab", 3, names_offset, names.size()}};
    all.insert(all.end(), sections.begin(), sections.end());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::size_t at = shoff + i * entsize;
        file.resize(at + entsize, 0);
        PutNumber(file, at, i == 0 ? 0 : name_at[i - 1], 4, big);
        PutNumber(file, at + 4, all[i].type, 4, big);
        PutNumber(file, at + (is64 ? 24 : 16), all[i].offset, is64 ? 8 : 4, big);
        PutNumber(file, at + (is64 ? 32 : 20), all[i].size, is64 ? 8 : 4, big);
    }
    PutNumber(file, is64 ? 0x28 : 0x20, shoff, is64 ? 8 : 4, big);
    PutNumber(file, is64 ? 0x3A : 0x2E, entsize, 2, big);
    PutNumber(file, is64 ? 0x3C : 0x30, all.size(), 2, big);
    PutNumber(file, is64 ? 0x3E : 0x32, 1, 2, big);
    return file;
}

// A PE file with the sections given (offsets absolute, `type` unused) and `body` at kBodyAt.
// Names longer than 8 characters, and names written "@name", go through the COFF string table.
Bytes MakePe(bool plus, const Bytes& body, const std::vector<Section>& sections) {
    Bytes file(kBodyAt, 0);
    file[0] = 'M';
    file[1] = 'Z';
    constexpr std::size_t pe = 0x40;
    PutNumber(file, 0x3C, pe, 4);
    std::memcpy(file.data() + pe, "PE\0\0", 4);
    const std::size_t optional_size = plus ? 240 : 224;
    PutNumber(file, pe + 6, sections.size(), 2);
    PutNumber(file, pe + 20, optional_size, 2);
    PutNumber(file, pe + 24, plus ? 0x20B : 0x10B, 2);
    PutNumber(file, pe + 24 + (plus ? 108 : 92), 16, 4);
    file.insert(file.end(), body.begin(), body.end());
    std::string strings(4, '\0');
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const std::size_t at = pe + 24 + optional_size + i * 40;
        std::string name = sections[i].name;
        const bool force_long = name.starts_with('@');
        if (force_long) {
            name.erase(0, 1);
        }
        if (name.size() > 8 || force_long) {
            const std::string ref = "/" + std::to_string(strings.size());
            strings += name + '\0';
            name = ref;
        }
        std::memcpy(file.data() + at, name.data(), name.size());
        PutNumber(file, at + 8, sections[i].size, 4);
        PutNumber(file, at + 16, sections[i].size, 4);
        PutNumber(file, at + 20, sections[i].offset, 4);
    }
    if (strings.size() > 4) {
        PutNumber(file, pe + 12, file.size(), 4);  // no symbols: the strings follow at once
        file.insert(file.end(), strings.begin(), strings.end());
    }
    return file;
}

const Bytes& Block() {
    static const Bytes block = quiver::testing::CopyOfEmbeddedPackage();
    return block;
}

// Body: 0x30 bytes of other data, then the block.
Bytes BodyWithBlock() {
    Bytes body(0x30, 0x90);
    body.insert(body.end(), Block().begin(), Block().end());
    return body;
}

constexpr std::uint64_t kBlockAt = kBodyAt + 0x30;

TEST(PackLocate, ElfSectionInEveryWidthAndByteOrder) {
    for (const bool is64 : {false, true}) {
        for (const bool big : {false, true}) {
            SCOPED_TRACE(std::string(is64 ? "ELF64" : "ELF32") + (big ? " big" : " little"));
            const Bytes file =
                MakeElf(is64, big, BodyWithBlock(),
                        {{".text", 1, kBodyAt, 0x30}, {".qvpkg", 1, kBlockAt, kPackageSize + 32}});
            const LocateResult r = LocateBlock(file);
            ASSERT_TRUE(r.location.has_value()) << r.error;
            EXPECT_EQ(r.location->offset, kBlockAt);
            EXPECT_TRUE(r.location->by_section);
            EXPECT_EQ(r.location->format, is64 ? FileFormat::Elf64 : FileFormat::Elf32);
        }
    }
}

TEST(PackLocate, PeSectionInBothWidthsAndByLongName) {
    // The section's raw data runs on past the block, as file alignment pads it.
    Bytes body = BodyWithBlock();
    body.resize(body.size() + 16, 0);
    for (const bool plus : {false, true}) {
        for (const std::string name : {".qvpkg", "@.qvpkg"}) {
            SCOPED_TRACE(name);
            const Bytes file = MakePe(
                plus, body, {{".text", 0, kBodyAt, 0x30}, {name, 0, kBlockAt, kPackageSize + 12}});
            const LocateResult r = LocateBlock(file);
            ASSERT_TRUE(r.location.has_value()) << r.error;
            EXPECT_EQ(r.location->offset, kBlockAt);
            EXPECT_TRUE(r.location->by_section);
            EXPECT_EQ(r.location->format, plus ? FileFormat::Pe32Plus : FileFormat::Pe32);
        }
    }
    // A section name of more than 8 characters stands in the string table; one that only begins
    // with the package section's name is another section.
    const Bytes file = MakePe(true, BodyWithBlock(), {{".qvpkg_other", 0, kBodyAt, 0x30}});
    const LocateResult r = LocateBlock(file);
    ASSERT_TRUE(r.location.has_value()) << r.error;
    EXPECT_FALSE(r.location->by_section);  // found by its markers instead
    EXPECT_EQ(r.location->offset, kBlockAt);
}

TEST(PackLocate, DamagedOrAmbiguousSectionTablesAreRefused) {
    const Bytes body = BodyWithBlock();
    const Section good{".qvpkg", 1, kBlockAt, kPackageSize};
    struct Case {
        const char* what;
        Bytes file;
        const char* reason = "";  // part of the error
    };
    std::vector<Case> cases;
    // The block fits, but the section claims more of the file than there is.
    const Bytes elf_long = MakeElf(true, false, body, {{".qvpkg", 1, kBlockAt, kPackageSize}});
    cases.push_back({"ELF section longer than the file",
                     MakeElf(true, false, body, {{".qvpkg", 1, kBlockAt, elf_long.size()}}),
                     "runs past the end of the file"});
    cases.push_back({"PE section longer than the file",
                     MakePe(false, body, {{".qvpkg", 0, kBlockAt, kPackageSize + 4096}}),
                     "runs past the end of the file"});
    cases.push_back({"two package sections", MakeElf(true, false, body, {good, good})});
    cases.push_back({"section without file data",
                     MakeElf(true, false, body, {{".qvpkg", 8, kBlockAt, kPackageSize}})});
    cases.push_back({"section smaller than a block",
                     MakeElf(false, false, body, {{".qvpkg", 1, kBlockAt, kPackageSize - 1}})});
    cases.push_back({"section past the end of the file",
                     MakeElf(true, true, body, {{".qvpkg", 1, 0xFFFFFFFFFFFFFF00, kPackageSize}})});
    cases.push_back({"section that holds no block",
                     MakeElf(true, false, body, {{".qvpkg", 1, kBodyAt, kPackageSize}})});
    Bytes shoff_past_end = MakeElf(true, false, body, {good});
    PutNumber(shoff_past_end, 0x28, shoff_past_end.size() - 10, 8);
    cases.push_back({"section headers past the end", shoff_past_end});
    Bytes names_out = MakeElf(false, false, body, {good});
    PutNumber(names_out, 0x32, 40, 2);
    cases.push_back({"name table index out of range", names_out});
    Bytes huge_count = MakeElf(true, false, body, {good});
    PutNumber(huge_count, 0x3C, 0, 2);  // the count moves to header 0, which says 2^60
    PutNumber(huge_count, huge_count.size() - 3 * 64 + 32, std::uint64_t{1} << 60, 8);
    cases.push_back({"extended section count beyond the file", huge_count});
    Bytes pe_table = MakePe(false, body, {{".qvpkg", 0, kBlockAt, kPackageSize}});
    PutNumber(pe_table, 0x40 + 6, 0xFFFF, 2);
    cases.push_back({"PE section table past the end", pe_table});
    cases.push_back({"PE raw data past the end",
                     MakePe(true, body, {{".qvpkg", 0, 0xFFFFFF00, kPackageSize}})});
    for (const Case& c : cases) {
        const LocateResult r = LocateBlock(c.file);
        EXPECT_FALSE(r.location.has_value()) << c.what;
        EXPECT_FALSE(r.error.empty()) << c.what;
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << c.what << ": " << r.error;
    }
}

TEST(PackLocate, MarkersFindExactlyOneBlockOrRefuse) {
    // Any file without a section table: the block at an odd offset is found by its markers.
    const Bytes one = testing::RawUpdater(1001);
    LocateResult r = LocateBlock(one);
    ASSERT_TRUE(r.location.has_value()) << r.error;
    EXPECT_EQ(r.location->offset, 1001u);
    EXPECT_FALSE(r.location->by_section);

    // An ELF file without section headers falls back to the markers as well.
    Bytes stripped = MakeElf(true, false, BodyWithBlock(), {});
    PutNumber(stripped, 0x28, 0, 8);
    r = LocateBlock(stripped);
    ASSERT_TRUE(r.location.has_value()) << r.error;
    EXPECT_EQ(r.location->offset, kBlockAt);

    Bytes two = one;
    two.insert(two.end(), Block().begin(), Block().end());
    r = LocateBlock(two);
    EXPECT_FALSE(r.location.has_value());
    EXPECT_NE(r.error.find("more than one"), std::string::npos) << r.error;

    // The marker alone, a block cut short by the end of the file, and a block whose key names
    // were damaged are no blocks.
    Bytes cut(one.begin(), one.end() - 400);
    Bytes damaged = one;
    damaged[1001 + 0x753] = 'X';  // "HOW_MANY_BIN=" no longer
    Bytes marker_only(5000, 0);
    std::memcpy(marker_only.data() + 0x100 + 0x0DE, "FW_CONSTRAINTS=", 16);
    for (const Bytes* file : {&cut, &damaged, &marker_only}) {
        r = LocateBlock(*file);
        EXPECT_FALSE(r.location.has_value());
        EXPECT_NE(r.error.find("no package block"), std::string::npos) << r.error;
    }
    EXPECT_FALSE(LocateBlock(Bytes{}).location.has_value());
}

}  // namespace
}  // namespace quiver::pack
