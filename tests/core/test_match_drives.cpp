#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device/drive_record.h"
#include "mock_platform.h"
#include "package/firmware_package.h"
#include "package/match_drives.h"
#include "package_helpers.h"

namespace quiver {
namespace {

using testing::PutEntry;
using testing::PutSlot;

DriveRecord Drive(const char* revision, const char* vendor = "Korvane ",
                  const char* product = "DVDRW KMR-730T  ") {
    DriveRecord r{};
    std::strncpy(r.vendor, vendor, sizeof r.vendor - 1);
    std::strncpy(r.product, product, sizeof r.product - 1);
    std::strncpy(r.revision, revision, sizeof r.revision - 1);
    r.in_use = 1;
    return r;
}

// The default package with its image area filled.
class MatchDrivesTest : public ::testing::Test {
  protected:
    MatchDrivesTest() : block_(testing::CopyOfEmbeddedPackage()) {
        os_.UseByteCollation();
        PutSlot(block_, kImageAreaOffset, 20, "FIRMWARE IMAGE BYTES");
    }
    DriveRecord Match(DriveRecord r) {
        MatchDrives(block_.data(), &r, 1);
        return r;
    }
    bool Allowed(DriveRecord r) { return Match(r).allowed == 1; }
    void SetBank(int bank, const char* start, const char* size, const char* new_fw) {
        const std::string n = std::to_string(bank);
        PutSlot(block_, 0x767 + (bank - 1) * 22, 22, "BIN_START" + n + "=" + start);
        PutSlot(block_, 0x7BF + (bank - 1) * 21, 21, "BIN_SIZE" + n + "=" + size);
        PutSlot(block_, 0x813 + (bank - 1) * 16, 16, "NEW_FW" + n + "=" + new_fw);
    }

    ::testing::NiceMock<testing::MockPlatform> os_;
    ScopedPlatform scope_{os_};
    std::vector<std::uint8_t> block_;
};

TEST_F(MatchDrivesTest, RevisionRangesOfThisPackage) {
    for (const char* rev : {"QM01", "QM05", "QM0F", "0M03"}) {
        EXPECT_TRUE(Allowed(Drive(rev))) << rev;
    }
    for (const char* rev : {"QM00", "QM10", "0M04", "QM0"}) {
        EXPECT_FALSE(Allowed(Drive(rev))) << rev;
    }
    EXPECT_FALSE(Allowed(Drive("QM05", "Korvane")));   // the trailing blank counts
    EXPECT_FALSE(Allowed(Drive("QM05", "Other   ")));  // entries 3 to 8 are placeholders
    EXPECT_FALSE(Allowed(Drive("QM05", "Korvane ", "DVDRW KMR-731T  ")));  // another product
    DriveRecord r = Drive("QM05");
    std::memcpy(r.revision, "QM05X", 5);  // unterminated texts are read with their widths
    std::memcpy(r.vendor, "Korvane X", 9);
    EXPECT_TRUE(Allowed(r));
}

TEST_F(MatchDrivesTest, UpToDateOnlyWhenN2oMessageIsExactlyOne) {
    for (const char* flag : {"0", "1", "2"}) {
        PutSlot(block_, 0x6EE, 13, std::string("N2OMESSAGE=") + flag);
        EXPECT_EQ(Match(Drive("QM0F")).up_to_date, flag[0] == '1' ? 1 : 0) << flag;
        EXPECT_EQ(Match(Drive("QM05")).up_to_date, 0) << flag;
    }
}

TEST_F(MatchDrivesTest, UnfilledImageAreaAdmitsNoDrive) {
    PutSlot(block_, kImageAreaOffset, 20, "BANK_START_FROM_HERX");  // only 19 bytes count
    EXPECT_FALSE(Allowed(Drive("QM05")));
    PutSlot(block_, kImageAreaOffset, 20, "BANK_START_FROM_HEXE");
    EXPECT_TRUE(Allowed(Drive("QM05")));
    DriveRecord embedded = Drive("QM05");  // the block as built was never filled
    MatchDrives(&embedded, 1);
    EXPECT_EQ(embedded.allowed, 0);
}

TEST_F(MatchDrivesTest, PlaceholderFirstEntryAndEmptyFields) {
    PutEntry(block_, 1, kEntriesPerBank, "QM20", "", "", "");  // the last entry counts too
    EXPECT_TRUE(Allowed(Drive("ZZZZ", "Other   ")));
    PutEntry(block_, 1, 3, "QM20", "", "", "");  // lowest only
    EXPECT_TRUE(Allowed(Drive("ZZZZ", "Other   ")));
    EXPECT_FALSE(Allowed(Drive("QM1Z", "Other   ")));
    PutEntry(block_, 1, 3, "", "", "", "");
    EXPECT_TRUE(Allowed(Drive("0000", "Other   ", "X")));
    PutEntry(block_, 1, 1, "#FLSH11", "#", "#", "#");  // no constraints at all
    EXPECT_TRUE(Allowed(Drive("ZZ99", "Other   ", "Some Writer     ")));
    DriveRecord unused = Drive("QM05");
    unused.in_use = 0;
    unused.allowed = 1;
    EXPECT_EQ(Match(unused).allowed, 0);
}

TEST_F(MatchDrivesTest, FirstAdmittingBankWins) {
    PutSlot(block_, 0x753, 20, "HOW_MANY_BIN=2");
    SetBank(1, "0", "0000016384", "QM0F");
    SetBank(2, "0000016384", "0000032768", "XY99");
    PutEntry(block_, 2, 1, "", "", "", "");  // admits every drive
    EXPECT_EQ(Match(Drive("QM05")).image_index, 0);
    const DriveRecord r = Match(Drive("XY99", "Other   "));
    EXPECT_EQ(r.allowed, 1);
    EXPECT_EQ(r.image_index, 1);
    EXPECT_EQ(PackageReader(block_.data()).NewRevision(r.image_index + 1), "XY99");
}

TEST_F(MatchDrivesTest, BanksWithUnusableRangesAreSkipped) {
    PutSlot(block_, 0x753, 20, "HOW_MANY_BIN=9");  // reads as 4
    PutEntry(block_, 4, 1, "#FLSH41", "#", "#", "#");
    SetBank(4, "0", "16384", "QM0F");
    for (auto [start, size] :
         {std::pair{"0", "1000"}, {"-16384", "16384"}, {"16384", "1048576"}, {"0", "0"}}) {
        SetBank(1, start, size, "QM0F");
        EXPECT_EQ(Match(Drive("QM05")).image_index, 3) << start << " " << size;  // by bank 4
    }
}

TEST_F(MatchDrivesTest, RecordNoBankAdmitsKeepsItsMarks) {
    DriveRecord r[2] = {Drive("QM05"), Drive("QM99")};
    r[1].allowed = 1;
    r[1].image_index = 2;
    r[1].up_to_date = 1;
    MatchDrives(block_.data(), r, 2);
    EXPECT_EQ(r[0].allowed, 1);
    EXPECT_EQ(r[1].allowed, 0);
    EXPECT_EQ(r[1].image_index, 2);
    EXPECT_EQ(r[1].up_to_date, 1);
}

TEST_F(MatchDrivesTest, FailedCollationAdmitsNothing) {
    ON_CALL(os_, CompareStringA).WillByDefault(::testing::Return(0));
    EXPECT_FALSE(Allowed(Drive("QM05")));
    PutEntry(block_, 1, 1, "#FLSH11", "#", "#", "#");
    EXPECT_FALSE(Allowed(Drive("QM05")));
}

}  // namespace
}  // namespace quiver
