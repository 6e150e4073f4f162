#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "drive_rig.h"
#include "flash/firmware_download.h"
#include "flash/flash_tables.h"
#include "formats/firmware_image.h"

namespace quiver {
namespace {

using rig::kMiB;

using rig::DriveRig;
using rig::MakeFault;
using Kind = sim::Fault::Kind;
using FlashId = std::array<std::uint8_t, 4>;

constexpr std::uint32_t kBlock = 16384;

std::string BlockCdb(std::uint8_t opcode, std::uint32_t block) {
    const std::uint32_t offset = block * kBlock;
    char text[64];
    std::snprintf(text, sizeof text, "%02X %02X 01 %02X %02X %02X 00 40 00 00 00 00", opcode,
                  opcode == 0x3B ? 0x05 : 0x01, (offset >> 16) & 0xFF, (offset >> 8) & 0xFF,
                  offset & 0xFF);
    return text;
}

bool IsImageWrite(const sim::LoggedCommand& c) {
    return c.cdb[0] == 0x3B && c.cdb[9] == 0x00 && c.length == kBlock;
}

bool IsProgram(const sim::LoggedCommand& c) {
    return c.cdb[0] == 0x3B && (c.cdb[9] == 0x80 || c.cdb[9] == 0xA0);
}

// Stores the CRC the drive checks in the last 4 bytes of an image whose bytes were changed.
void SealImage(std::vector<std::uint8_t>& image) {
    const std::size_t body = image.size() - 4;
    const std::uint32_t crc = sim::Crc32(image.data(), body);
    for (std::size_t i = 0; i < 4; ++i) {
        image[body + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
}

// A KMR-730T on E: with the given flash chip, scanned, selected and quiet.
class DownloadTest : public DriveRig {
  protected:
    AtapiDevice& Open(FlashId flashId = {0xC2, 0xB6, 0x00, 0x03}) {
        sim::DriveConfig config = rig::Kmr730t();
        config.flashId = flashId;
        AddOptical('E', config);
        device_ = std::make_unique<AtapiDevice>(true);
        Prepare(*device_);
        return *device_;
    }

    std::vector<std::uint32_t> ImageWriteOffsets() {
        std::vector<std::uint32_t> out;
        for (const sim::LoggedCommand& c : drive().Log()) {
            if (IsImageWrite(c)) {
                out.push_back((std::uint32_t{c.cdb[3]} << 16) | (std::uint32_t{c.cdb[4]} << 8) |
                              c.cdb[5]);
            }
        }
        return out;
    }

    std::size_t ProgramCommands() {
        std::size_t n = 0;
        for (const sim::LoggedCommand& c : drive().Log()) {
            n += IsProgram(c) ? 1 : 0;
        }
        return n;
    }

    std::unique_ptr<AtapiDevice> device_;
    const std::vector<std::uint8_t> image_ = sim::MakeFirmwareImage("QM02", kMiB, 7);
};

// --- The flash profile ------------------------------------------------------------------------

struct ChipCase {
    const char* name;
    FlashId id;
    int entry;
    int profile;
    const char* cdb;
    std::uint32_t length;
    std::vector<std::uint8_t> header;
};

void PrintTo(const ChipCase& c, std::ostream* os) {
    *os << c.name;
}

class DownloadProfileTest : public DownloadTest, public ::testing::WithParamInterface<ChipCase> {};

TEST_P(DownloadProfileTest, SendsTheChipsProfileWithItsHeader) {
    const ChipCase& c = GetParam();
    AtapiDevice& d = Open(c.id);
    EXPECT_EQ(FirmwareDownload::FindFlashChip(c.id[0], c.id[1], c.id[2], c.id[3]), c.entry);
    ASSERT_TRUE(FirmwareDownload(d).SendFlashProfile());

    const auto log = drive().Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].CdbHex(), "DF 11 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(log[1].CdbHex(), c.cdb);
    EXPECT_EQ(log[1].dir, sim::DataDir::Out);
    EXPECT_EQ(log[1].length, c.length);
    ASSERT_TRUE(drive().LoadedProfile().has_value());
    EXPECT_EQ(*drive().LoadedProfile(), c.profile);

    // The header, then the profile's own bytes, then the zeros of the cleared buffer.
    const std::uint8_t* sent = d.WriteBufferData();
    const std::size_t headerBytes = c.header.size();
    EXPECT_EQ(std::vector<std::uint8_t>(sent, sent + headerBytes), c.header);
    const std::size_t size = FirmwareDownload::ProfileSize(c.entry);
    EXPECT_EQ(
        std::memcmp(sent + headerBytes, FlashProfiles() + FlashProfileOffset(c.profile), size), 0);
    for (std::size_t i = headerBytes + size; i < 32768; ++i) {
        ASSERT_EQ(sent[i], 0) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Chips, DownloadProfileTest,
                         ::testing::Values(ChipCase{"Entry0",
                                                    {0xDA, 0xC8, 0x00, 0x00},
                                                    0,
                                                    0,
                                                    "3B 05 01 08 00 00 00 01 3E 00 00 00",
                                                    318,
                                                    {0xDA, 0xC8, 0x00, 0x00}},
                                           ChipCase{"Entry2",
                                                    {0xBF, 0xD6, 0x00, 0x01},
                                                    2,
                                                    2,
                                                    "3B 05 01 00 00 00 00 05 00 7F 00 00",
                                                    1280,
                                                    {0xBF, 0xD6, 0x00, 0x01, 0x05, 0x00}},
                                           ChipCase{"Entry10",
                                                    {0xDA, 0xB5, 0x00, 0x01},
                                                    10,
                                                    8,
                                                    "3B 05 01 00 00 00 00 05 06 7F 00 00",
                                                    1286,
                                                    {0xDA, 0xB5, 0x00, 0x01, 0x05, 0x00}},
                                           ChipCase{"Entry21",
                                                    {0xBF, 0xD8, 0x00, 0x05},
                                                    21,
                                                    19,
                                                    "3B 05 01 00 00 00 00 04 D8 7F 00 00",
                                                    1240,
                                                    {0xBF, 0xD8, 0x00, 0x05, 0x04, 0xD2}},
                                           ChipCase{"Entry22",
                                                    {0x01, 0x37, 0x00, 0x05},
                                                    22,
                                                    19,
                                                    "3B 05 01 00 00 00 00 04 D8 7F 00 00",
                                                    1240,
                                                    {0x01, 0x37, 0x00, 0x05, 0x04, 0xD2}},
                                           ChipCase{"Entry23",
                                                    {0xC2, 0x37, 0x00, 0x05},
                                                    23,
                                                    19,
                                                    "3B 05 01 00 00 00 00 04 D8 7F 00 00",
                                                    1240,
                                                    {0xC2, 0x37, 0x00, 0x05, 0x04, 0xD2}},
                                           ChipCase{"Entry24",
                                                    {0xC2, 0x38, 0x00, 0x05},
                                                    24,
                                                    19,
                                                    "3B 05 01 00 00 00 00 04 D8 7F 00 00",
                                                    1240,
                                                    {0xC2, 0x38, 0x00, 0x05, 0x04, 0xD2}}),
                         [](const ::testing::TestParamInfo<ChipCase>& info) {
                             return info.param.name;
                         });

TEST_F(DownloadTest, EveryChipOfTheTableGetsAProfileItsDriveAccepts) {
    for (int k = 0; k < kFlashChipCount; ++k) {
        const FlashChipEntry& e = FlashChipTable[k];
        sim::Machine machine;
        sim::DriveConfig config = rig::Kmr730t();
        config.flashId = {e.id[0], e.id[1], e.id[2], e.id[3]};
        machine.AddDrive(config);
        machine.AddLetter('E', sim::LetterType::CdRom, 0);
        rig::SpyPlatform os(machine);
        ScopedPlatform scope(os);
        AtapiDevice device(true);
        ASSERT_TRUE(device.SelectDrive(0));
        device.ClearUnitAttention();
        EXPECT_EQ(FirmwareDownload::FindFlashChip(e.id[0], e.id[1], e.id[2], e.id[3]), k);
        EXPECT_TRUE(FirmwareDownload(device).SendFlashProfile()) << k;
        ASSERT_TRUE(machine.drive(0).LoadedProfile().has_value()) << k;
        EXPECT_EQ(*machine.drive(0).LoadedProfile(), ProfileMap[k]) << k;
    }
}

TEST_F(DownloadTest, UnknownChipGetsNoProfileButTheImageStillGoes) {
    AtapiDevice& d = Open({0xBF, 0xD8, 0x00, 0x07});
    EXPECT_FALSE(FirmwareDownload(d).SendFlashProfile());
    EXPECT_EQ(CountSent(0x3B), 0u);

    drive().ClearLog();
    // The drive will not program without a profile; the program command is still sent.
    EXPECT_FALSE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), false));
    EXPECT_EQ(ImageWriteOffsets().size(), 64u);
    EXPECT_EQ(ProgramCommands(), 1u);
    EXPECT_TRUE(d.SenseIs(5, 0x2C));
    EXPECT_FALSE(drive().LoadedProfile().has_value());
    EXPECT_EQ(drive().ProgramCount(), 0u);
}

// --- The image ---------------------------------------------------------------------------------

TEST_F(DownloadTest, OneMegabyteGoesInVerifiedBlocksThenPauseThenProgram) {
    AtapiDevice& d = Open();
    d.SetTimeLimit(5);
    ASSERT_TRUE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), false));
    EXPECT_EQ(d.TimeLimit(), kDefaultTimeLimit);
    EXPECT_TRUE(d.TransferMark());

    const auto log = drive().Log();
    std::size_t first = 0;
    while (first < log.size() && !IsImageWrite(log[first])) {
        ++first;
    }
    // Before the image: the readiness wait, the stop, the flash id and the profile.
    std::vector<std::string> before;
    for (std::size_t i = 0; i < first; ++i) {
        before.push_back(log[i].CdbHex());
    }
    EXPECT_EQ(before,
              (std::vector<std::string>{
                  "00 00 00 00 00 00 00 00 00 00 00 00", "00 00 00 00 00 00 00 00 00 00 00 00",
                  "1B 00 00 00 00 00 00 00 00 00 00 00", "DF 11 00 00 00 00 00 00 00 00 00 00",
                  "3B 05 01 00 00 00 00 03 44 7F 00 00",  // entry 12: 830 + 6
              }));
    ASSERT_EQ(log.size(), first + 128 + 1);
    for (std::uint32_t i = 0; i < 64; ++i) {
        const sim::LoggedCommand& write = log[first + 2 * i];
        const sim::LoggedCommand& read = log[first + 2 * i + 1];
        EXPECT_EQ(write.CdbHex(), BlockCdb(0x3B, i)) << i;
        EXPECT_EQ(write.dir, sim::DataDir::Out);
        EXPECT_EQ(write.length, kBlock);
        EXPECT_EQ(read.CdbHex(), BlockCdb(0x3C, i)) << i;
        EXPECT_EQ(read.dir, sim::DataDir::In);
        EXPECT_EQ(read.length, kBlock);
    }
    EXPECT_EQ(log[first + 126].CdbHex(), "3B 05 01 0F C0 00 00 40 00 00 00 00");
    const sim::LoggedCommand& program = log.back();
    EXPECT_EQ(program.CdbHex(), "3B 05 01 00 00 00 00 00 00 80 00 00");
    EXPECT_EQ(program.dir, sim::DataDir::None);
    EXPECT_EQ(program.length, 0u);
    const std::int64_t pause = program.startNanos - log[log.size() - 2].endNanos;
    EXPECT_GE(pause, 1'000'000'000);
    EXPECT_LT(pause, 1'100'000'000);

    EXPECT_EQ(drive().ProgramCount(), 1u);
    EXPECT_FALSE(drive().LastProgramWithBootCode());
    EXPECT_EQ(drive().FlashContents(), image_);
}

TEST_F(DownloadTest, BootCodeIsProgrammedWithControlA0) {
    AtapiDevice& d = Open();
    ASSERT_TRUE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), true));
    EXPECT_EQ(drive().Log().back().CdbHex(), "3B 05 01 00 00 00 00 00 00 A0 00 00");
    EXPECT_TRUE(drive().LastProgramWithBootCode());
}

TEST_F(DownloadTest, DriveReportsTheNewRevisionAfterTheDownload) {
    AtapiDevice& d = Open();
    EXPECT_STREQ(d.RecordAt(0)->revision, "QM01");
    ASSERT_TRUE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), false));
    // The drive restarts after programming: a unit attention, then becoming ready.
    EXPECT_TRUE(d.WaitReady(60));
    EXPECT_TRUE(d.RefreshIdentity());
    EXPECT_STREQ(d.RecordAt(0)->revision, "QM02");
    EXPECT_STREQ(d.CurrentRevision(), "QM02");
    EXPECT_EQ(drive().Revision(), "QM02");
}

TEST_F(DownloadTest, ReadBackDifferenceRestartsTheTransferAtBlockZero) {
    AtapiDevice& d = Open();
    sim::Fault differs = MakeFault(Kind::ReadBackDiffers, -1);
    differs.block = 40;
    differs.attempt = 1;
    drive().AddFault(differs);
    ASSERT_TRUE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), false));

    const auto offsets = ImageWriteOffsets();
    ASSERT_EQ(offsets.size(), 41u + 64u);
    EXPECT_EQ(offsets[40], 40 * kBlock);
    EXPECT_EQ(offsets[41], 0u);
    EXPECT_EQ(offsets.back(), 63 * kBlock);
    EXPECT_EQ(ProgramCommands(), 1u);
    EXPECT_EQ(drive().FlashContents(), image_);
}

TEST_F(DownloadTest, ThreeFailedAttemptsEndWithoutTheProgramCommand) {
    AtapiDevice& d = Open();
    sim::Fault differs = MakeFault(Kind::ReadBackDiffers, -1, 1, 0);
    differs.block = 5;
    differs.attempt = 0;
    drive().AddFault(differs);
    EXPECT_FALSE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), false));
    EXPECT_EQ(ImageWriteOffsets().size(), 3u * 6u);
    EXPECT_EQ(ProgramCommands(), 0u);
    EXPECT_EQ(drive().ProgramCount(), 0u);
    EXPECT_TRUE(d.TransferMark());
}

// A read-back that returns only the first half of each block leaves the other half of the read
// buffer as cleared: an image whose blocks end in zeros would compare equal. The short transfer
// itself fails the block.
TEST_F(DownloadTest, ReadBackThatReturnsPartOfABlockVerifiesNothing) {
    AtapiDevice& d = Open();
    std::vector<std::uint8_t> image = image_;
    for (std::uint32_t b = 0; b + 1 < kMiB / kBlock; ++b) {
        std::fill(image.begin() + b * kBlock + kBlock / 2, image.begin() + (b + 1) * kBlock, 0);
    }
    SealImage(image);
    sim::Fault half = MakeFault(Kind::ShortTransfer, 0x3C, 1, 63);  // not the last block's
    half.bytes = kBlock / 2;
    drive().AddFault(half);
    EXPECT_FALSE(FirmwareDownload(d).DownloadFirmware(
        image.data(), static_cast<std::int32_t>(image.size()), false));
    EXPECT_EQ(ImageWriteOffsets().size(), 3u);  // block 0 in each attempt
    EXPECT_EQ(ProgramCommands(), 0u);
}

// A READ BUFFER that completes GOOD and reports the whole block but brings nothing (as through
// a manager that leaves the request's length as given): what an earlier block left in the read
// buffer must not pass for it, even where the image repeats itself, as padding of zeros or of
// ones does.
TEST_F(DownloadTest, ReadBackThatBringsNothingVerifiesNothing) {
    AtapiDevice& d = Open();
    std::vector<std::uint8_t> image = image_;
    std::fill(image.begin() + 56 * kBlock, image.begin() + 60 * kBlock, 0x00);
    std::fill(image.begin() + 60 * kBlock, image.begin() + 63 * kBlock, 0xFF);
    SealImage(image);
    for (const std::uint32_t read : {59u, 63u}) {  // block 58 in attempt 1, block 3 in attempt 2
        sim::Fault untouched = MakeFault(Kind::ShortTransfer, 0x3C, read, 1);
        untouched.bytes = 0;
        untouched.reportsAll = true;
        drive().AddFault(untouched);
    }
    ASSERT_TRUE(FirmwareDownload(d).DownloadFirmware(
        image.data(), static_cast<std::int32_t>(image.size()), false));
    const auto offsets = ImageWriteOffsets();
    ASSERT_EQ(offsets.size(), 59u + 4u + 64u);
    EXPECT_EQ(offsets[59], 0u);  // the zero block failed: the next attempt starts again
    EXPECT_EQ(offsets[63], 0u);
    EXPECT_EQ(drive().FlashContents(), image);
}

TEST_F(DownloadTest, BlockWritesThatFailAreSentTwiceUnderTheMark) {
    AtapiDevice& d = Open();
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x3B, 1, 0));
    EXPECT_FALSE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), false));
    // The profile once (the mark is clear then), block 0 twice in each of three attempts.
    const auto writes = Sent(0x3B);
    ASSERT_EQ(writes.size(), 7u);
    EXPECT_EQ(writes[0].cdb[9], 0x7F);
    for (std::size_t i = 1; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].CdbHex(), BlockCdb(0x3B, 0)) << i;
    }
    EXPECT_EQ(CountSent(0x3C), 0u);
    EXPECT_TRUE(d.TransferMark());
}

TEST_F(DownloadTest, PreparatoryCommandsRunWithoutTheMarkAndTheirFailuresAreIgnored) {
    AtapiDevice& d = Open();
    d.SetTransferMark();
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x1B, 1, 0));
    ASSERT_TRUE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), false));
    EXPECT_EQ(CountSent(0x1B), 1u);
    EXPECT_EQ(drive().ProgramCount(), 1u);
}

TEST_F(DownloadTest, DriveThatNeverGetsReadyStillGetsTheImage) {
    AtapiDevice& d = Open();
    drive().AddFault(MakeFault(Kind::SenseData, 0x00, 1, 0, sim::sense::kBecomingReady));
    const double start = machine_.clock.NowSeconds();
    ASSERT_TRUE(FirmwareDownload(d).DownloadFirmware(
        image_.data(), static_cast<std::int32_t>(image_.size()), false));
    EXPECT_GE(machine_.clock.NowSeconds() - start, 61.0);  // the wait, then the pause
    EXPECT_EQ(drive().ProgramCount(), 1u);
}

TEST_F(DownloadTest, SizesThatAreNotWholeBlocksAreRefusedBeforeAnythingIsSent) {
    AtapiDevice& d = Open();
    d.SetTimeLimit(5);
    for (std::int32_t size : {0, 1'040'000, 16'383, 16'385, -16'384, -1, 0x1000000 + 16'384}) {
        EXPECT_FALSE(FirmwareDownload(d).DownloadFirmware(image_.data(), size, false)) << size;
    }
    EXPECT_FALSE(FirmwareDownload(d).DownloadFirmware(nullptr, 16'384, false));
    EXPECT_TRUE(drive().Log().empty());
    EXPECT_FALSE(d.TransferMark());
    EXPECT_EQ(d.TimeLimit(), 5u);

    // Whole blocks are fine, however few.
    const auto small = sim::MakeFirmwareImage("QS01", kBlock, 3);
    EXPECT_TRUE(FirmwareDownload(d).DownloadFirmware(
        small.data(), static_cast<std::int32_t>(small.size()), false));
    EXPECT_EQ(ImageWriteOffsets().size(), 1u);
    EXPECT_EQ(drive().FlashContents(), small);
}

TEST_F(DownloadTest, ImageAsLargeAsTheOffsetsCarryGoesWhole) {
    sim::DriveConfig config = rig::Kmr730t();
    config.bufferBytes = 0x1000000;
    AddOptical('E', config);
    AtapiDevice d(true);
    Prepare(d);
    const auto large = sim::MakeFirmwareImage("QL01", 0x1000000, 5);
    ASSERT_TRUE(FirmwareDownload(d).DownloadFirmware(
        large.data(), static_cast<std::int32_t>(large.size()), false));
    EXPECT_EQ(ImageWriteOffsets().size(), 0x1000000 / kBlock);
    EXPECT_EQ(ProgramCommands(), 1u);
}

}  // namespace
}  // namespace quiver
