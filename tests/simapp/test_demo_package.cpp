#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formats/firmware_image.h"
#include "package/firmware_package.h"
#include "simapp/package_file.h"

namespace quiver::simapp {
namespace {

std::vector<std::uint8_t> Demo() {
    return {DemoPackage(), DemoPackage() + DemoPackageSize()};
}

std::string ErrorOfPackage(const std::vector<std::uint8_t>& bytes) {
    try {
        FindPackageBlock(bytes, "carrier");
    } catch (const PackageFileError& e) {
        return e.what();
    }
    return "(no error)";
}

class DemoPackageFile : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::remove(path_); }

    std::string Write(const std::vector<std::uint8_t>& bytes) {
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path_.string();
    }

    // Of this process: test runs of other build folders may run at the same time.
    std::filesystem::path path_ =
        std::filesystem::temp_directory_path() /
        ("quiver_demo_package_test." + std::to_string(::getpid()) + ".bin");
};

TEST(DemoPackage, IsTheDefaultBlockWithTheDemoImageInBankOne) {
    ASSERT_EQ(DemoPackageSize(), kPackageSize);
    const std::uint8_t* demo = DemoPackage();
    const std::uint8_t* standard = EmbeddedPackage();
    // Everything but the image area is the default block.
    EXPECT_EQ(std::memcmp(demo, standard, kImageAreaOffset), 0);
    EXPECT_EQ(demo[kPackageSize - 1], standard[kPackageSize - 1]);

    const PackageReader reader(demo);
    EXPECT_FALSE(reader.ImageAreaUnfilled());
    EXPECT_EQ(reader.HowManyBin(), 1);
    ASSERT_TRUE(reader.BankIsValid(1));
    EXPECT_EQ(reader.NewRevision(1), "QM0F");
    const auto image = sim::ParseFirmwareImage(reader.ImageArea() + reader.ImageStart(1),
                                               static_cast<std::size_t>(reader.ImageSize(1)));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->size, kImageAreaSize);
    EXPECT_EQ(image->revision, "QM0F");
    const std::vector<std::uint8_t> expected = sim::MakeFirmwareImage("QM0F", 1u << 20);
    EXPECT_EQ(std::memcmp(reader.ImageArea(), expected.data(), expected.size()), 0);
}

TEST(DemoPackage, BlocksAreFoundInsideLargerFilesByTheirMarkers) {
    const std::vector<std::uint8_t> demo = Demo();

    // A block inside an executable-like carrier, at an odd offset.
    std::vector<std::uint8_t> carrier(4097, 0xCC);
    carrier.insert(carrier.end(), demo.begin(), demo.end());
    carrier.resize(carrier.size() + 333, 0x90);
    EXPECT_EQ(FindPackageBlocks(carrier), std::vector<std::size_t>{4097});
    EXPECT_EQ(FindPackageBlock(carrier, "carrier"), demo);

    // Stray marker texts without the rest of the block do not count.
    std::vector<std::uint8_t> stray = carrier;
    const char text[] = "FW_CONSTRAINTS=HOW_MANY_BIN=N2OMESSAGE=";
    std::memcpy(stray.data() + 100, text, sizeof text - 1);
    EXPECT_EQ(FindPackageBlock(stray, "carrier"), demo);

    // One marker changed: no block.
    std::vector<std::uint8_t> broken = carrier;
    broken[4097 + 0x753] = 'h';
    EXPECT_THAT(ErrorOfPackage(broken), ::testing::StartsWith("carrier: no package block"));

    // A block cut short at the end of the file is not one.
    std::vector<std::uint8_t> cut(carrier.begin(), carrier.end() - 334);
    cut.insert(cut.begin(), 0);
    EXPECT_TRUE(FindPackageBlocks(cut).empty());

    // Two blocks: refused, whichever would be meant.
    std::vector<std::uint8_t> two = carrier;
    two.insert(two.end(), demo.begin(), demo.end());
    EXPECT_THAT(ErrorOfPackage(two), ::testing::StartsWith("carrier: more than one package block"));

    EXPECT_EQ(ErrorOfPackage({}), ErrorOfPackage(std::vector<std::uint8_t>(100, 0)));
}

TEST_F(DemoPackageFile, LoadsRawAndEmbeddedBlocksAndRefusesTheRest) {
    const std::vector<std::uint8_t> demo = Demo();
    EXPECT_EQ(LoadPackageFile(Write(demo)), demo);

    // A raw block is taken as it is, even one whose markers are broken.
    std::vector<std::uint8_t> raw(kPackageSize, 0);
    raw[7] = 7;
    EXPECT_EQ(LoadPackageFile(Write(raw)), raw);

    std::vector<std::uint8_t> carrier(1000, 0);
    carrier.insert(carrier.end(), demo.begin(), demo.end());
    EXPECT_EQ(LoadPackageFile(Write(carrier)), demo);

    const std::string path = Write(std::vector<std::uint8_t>(kPackageSize + 1, 0));
    EXPECT_THROW(LoadPackageFile(path), PackageFileError);
    std::filesystem::remove(path_);
    try {
        LoadPackageFile(path);
        ADD_FAILURE() << "no error";
    } catch (const PackageFileError& e) {
        EXPECT_EQ(std::string(e.what()), path + ": cannot open the file");
    }
}

}  // namespace
}  // namespace quiver::simapp
