#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <string>

#include "mock_platform.h"
#include "package/firmware_package.h"
#include "package_helpers.h"

#if defined(__linux__)
#include <elf.h>
#endif

namespace quiver {
namespace {

using testing::CopyOfEmbeddedPackage;
using testing::PutSlot;

// The slot holds the text and zeros up to its end.
void ExpectSlot(const std::uint8_t* block, std::size_t offset, std::size_t size,
                std::string_view text) {
    std::string expected(text);
    expected.resize(size, '\0');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block + offset), size), expected)
        << "slot at 0x" << std::hex << offset;
}

TEST(PackageLayout, DefaultBlockBytes) {
    const std::uint8_t* b = EmbeddedPackage();
    ExpectSlot(b, 0x031, 64, "Flash Program for Korvane DVDRW KMR-730T");
    ExpectSlot(b, 0x0EE, 28, std::string("QM01\0\0\0\0QM0F\0\0\0\0Korvane \0\0\0\0", 28));
    ExpectSlot(b, 0x10A, 20, "DVDRW KMR-730T  ");
    ExpectSlot(b, 0x73F, 8, "ADMIN=0");
    ExpectSlot(b, 0x7BF, 21, "BIN_SIZE1=0001048576");
    ExpectSlot(b, 0x843, 16, "NEW_FW4=N/A ");
    EXPECT_EQ(b[0x014], 0);  // the free texts end inside their slots
    EXPECT_EQ(b[0x030], 0);
    for (int bank = 1; bank <= 4; ++bank) {
        for (int entry = (bank == 1 ? 3 : 1); entry <= 8; ++entry) {
            const std::size_t at = testing::EntryOffset(bank, entry);
            ExpectSlot(b, at, 8, "#FLSH" + std::to_string(bank * 10 + entry));
            ExpectSlot(b, at + 8, 8, "#");
            ExpectSlot(b, at + 16, 12, "#");
            ExpectSlot(b, at + 28, 20, "#");
        }
    }
    ExpectSlot(b, 0x853, kImageAreaSize + 1, "BANK_START_FROM_HERE");

    const PackageReader p;
    const PackageFlags f = p.Flags();
    EXPECT_EQ(std::vector<int>({f.n2o_message, f.chk_disc, f.boot_code, f.reboot, f.auto_mode,
                                f.close_ap, f.warning, f.admin, f.nb_warning, f.how_many_bin}),
              std::vector<int>({0, 0, 1, 1, 0, 0, 1, 0, 0, 1}));
    EXPECT_EQ(p.Version() + "|" + p.DriveName(), "v2.0.4|Korvane DVDRW KMR-730T");
    EXPECT_EQ(p.ImageSize(1), 1048576);
    EXPECT_EQ(p.NewRevision(1), "QM0F");
}

#if defined(__linux__) && defined(__x86_64__)
// The packaging step finds the block as the section ".qvpkg" of the built file.
TEST(PackageLayout, BlockIsAWritableSectionOfTheFile) {
    std::ifstream file("/proc/self/exe", std::ios::binary | std::ios::ate);
    std::vector<char> exe(static_cast<std::size_t>(file.tellg()));
    file.seekg(0).read(exe.data(), static_cast<std::streamsize>(exe.size()));
    Elf64_Ehdr header;
    std::memcpy(&header, exe.data(), sizeof header);
    auto section = [&](int i) {
        Elf64_Shdr s;
        std::memcpy(&s, exe.data() + header.e_shoff + i * header.e_shentsize, sizeof s);
        return s;
    };
    const char* names = exe.data() + section(header.e_shstrndx).sh_offset;
    int found = 0;
    for (int i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr s = section(i);
        if (std::strcmp(names + s.sh_name, ".qvpkg") == 0) {
            ++found;
            EXPECT_TRUE((s.sh_flags & SHF_WRITE) && s.sh_type == SHT_PROGBITS);
            ASSERT_GE(s.sh_size, kPackageSize);
            EXPECT_EQ(std::memcmp(exe.data() + s.sh_offset, EmbeddedPackage(), kPackageSize), 0);
        }
    }
    EXPECT_EQ(found, 1);
}
#endif

TEST(PackageReader, UnterminatedSlotsEndAtTheSlot) {
    auto b = CopyOfEmbeddedPackage();
    PutSlot(b, 0x031, 64, std::string(64, 'T'));
    PutSlot(b, 0x09D, 65, std::string(65, 'N'));
    PutSlot(b, 0x843, 16, "NEW_FW4=ABCDEFGH");  // the image area follows
    PutSlot(b, 0x0FE, 12, "Korvane XXXX");      // vendor of (1, 1), read width 8
    PutSlot(b, 0x6FB, 10, "CHKDISC=07");        // the next slot ends in '1'
    const PackageReader p(b.data());
    EXPECT_EQ(p.Title(), std::string(64, 'T'));
    EXPECT_EQ(p.DriveName(), std::string(65, 'N'));
    EXPECT_EQ(p.NewRevision(4), "ABCDEFGH");
    EXPECT_EQ(p.Constraint(1, 1).vendor, "Korvane ");
    EXPECT_EQ(p.Flag(PackageFlag::ChkDisc), 7);
    EXPECT_EQ(p.ImageSize(5) + p.Constraint(1, 9).vendor.size() + p.NewRevision(0).size(), 0u);
}

TEST(PackageReader, FlagsTakeTheLastCharacterOnly) {
    auto b = CopyOfEmbeddedPackage();
    PutSlot(b, 0x6EE, 13, "N2OMESSAGE=2");
    PutSlot(b, 0x717, 9, "REBOOT=Y");
    PutSlot(b, 0x720, 11, "");
    PutSlot(b, 0x73F, 8, "ADMIN=10");  // ADMIN looks at the character after '=' only
    PutSlot(b, 0x753, 20, "HOW_MANY_BIN=12");
    const PackageReader p(b.data());
    EXPECT_EQ(p.Flag(PackageFlag::N2oMessage), 2);
    EXPECT_EQ(p.Flag(PackageFlag::Reboot), 0);
    EXPECT_EQ(p.Flag(PackageFlag::AutoMode), 0);
    EXPECT_TRUE(p.Admin());
    EXPECT_EQ(p.HowManyBin(), 2);
    PutSlot(b, 0x753, 20, "HOW_MANY_BIN=9");  // outside the format: no more than four banks
    PutSlot(b, 0x73F, 8, "ADMIN= 1");
    EXPECT_EQ(p.Flag(PackageFlag::HowManyBin), 9);
    EXPECT_EQ(p.Flags().how_many_bin, 4);
    EXPECT_FALSE(p.Admin());
}

TEST(PackageReader, NumbersAndBankRanges) {
    auto parse = [](std::string_view s, std::size_t size) {
        return ParsePackageNumber(reinterpret_cast<const std::uint8_t*>(s.data()), size);
    };
    EXPECT_EQ(parse(" \t+42x7", 7), 42);
    EXPECT_EQ(parse("- 5", 3), 0);
    EXPECT_EQ(parse("12345", 3), 123);
    EXPECT_EQ(parse("-2147483648", 11), INT_MIN);
    EXPECT_EQ(parse("99999999999", 11), INT_MAX);
    EXPECT_EQ(parse("-99999999999", 12), INT_MIN);

    auto b = CopyOfEmbeddedPackage();
    auto bank2 = [&](const char* start, const char* size) {
        PutSlot(b, 0x77D, 22, std::string("BIN_START2=") + start);
        PutSlot(b, 0x7D4, 21, std::string("BIN_SIZE2=") + size);
        return BankIsValid(b.data(), 2);
    };
    EXPECT_TRUE(bank2("1032192", "16384"));   // ends exactly at the end of the area
    EXPECT_FALSE(bank2("1032193", "16384"));  // one byte past it
    EXPECT_FALSE(bank2("-16384", "32768"));
    EXPECT_FALSE(bank2("0", "-16384"));
    EXPECT_FALSE(bank2("0", "0"));
    EXPECT_FALSE(bank2("0", "20000"));        // not whole blocks
    EXPECT_FALSE(bank2("0", "99999999999"));  // saturated
}

TEST(PackageCompareText, AskTheUserLocaleOverWholeTexts) {
    ::testing::StrictMock<testing::MockPlatform> os;
    ScopedPlatform scope(os);
    using ::testing::StrEq;
    EXPECT_CALL(os, CompareStringA(LOCALE_USER_DEFAULT, 0u, StrEq("QM01"), -1, StrEq("QM0F"), -1))
        .WillOnce(::testing::Return(CSTR_LESS_THAN))
        .WillOnce(::testing::Return(CSTR_GREATER_THAN))
        .WillOnce(::testing::Return(0));
    EXPECT_EQ(CompareText("QM01", "QM0F"), -1);
    EXPECT_EQ(CompareText("QM01", "QM0F"), 1);
    EXPECT_EQ(CompareText("QM01", "QM0F"), kCompareFailed);  // neither equal nor ordered
}

}  // namespace
}  // namespace quiver
