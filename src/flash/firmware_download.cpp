#include "flash/firmware_download.h"

#include <cstring>

#include "device/atapi_device.h"
#include "device/command_set.h"
#include "flash/download_observer.h"
#include "flash/flash_tables.h"

namespace quiver {

namespace {

constexpr std::uint32_t kBlockBytes = 16384;
constexpr int kAttempts = 3;
constexpr std::uint32_t kProfileClearBytes = 32768;
constexpr std::uint32_t kProfileOffsetSmallChips = 0x080000;
// Offsets and lengths travel in 24 bits.
constexpr std::int32_t kLargestImage = 0x1000000;
constexpr double kPauseBeforeProgramSeconds = 1.0;
constexpr std::uint32_t kSectorBytes = 512;

// Makes the read buffer differ from the block at the first and last byte of every sector, so
// that a read-back that reports the whole block but brings less (a manager that leaves the
// request's length as given, a transfer cut short at any sector) cannot pass for the block,
// whatever the buffer held before: an earlier block, or padding that repeats the block's own
// bytes.
void Poison(std::uint8_t* readBack, const std::uint8_t* block) {
    for (std::uint32_t at = 0; at < kBlockBytes; at += kSectorBytes) {
        readBack[at] = static_cast<std::uint8_t>(~block[at]);
        readBack[at + kSectorBytes - 1] = static_cast<std::uint8_t>(~block[at + kSectorBytes - 1]);
    }
}

}  // namespace

int FirmwareDownload::FindFlashChip(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                                    std::uint8_t b3) {
    for (int k = 0; k < kFlashChipCount; ++k) {
        const FlashChipEntry& e = FlashChipTable[k];
        if (e.id[0] == b0 && e.id[1] == b1 && e.id[2] == b2 && e.id[3] == b3) {
            return k;
        }
    }
    return -1;
}

std::uint16_t FirmwareDownload::ProfileSize(int entry) {
    if (entry < 0 || entry >= kFlashChipCount) {
        return 0;
    }
    const FlashChipEntry& e = FlashChipTable[entry];
    return static_cast<std::uint16_t>((e.sizeHigh << 8) | e.sizeLow);
}

void FirmwareDownload::LoadFlashProfile(int entry) {
    if (entry < 0 || entry >= kFlashChipCount ||
        drive_.WriteBufferCapacity() < kProfileClearBytes) {
        return;
    }
    std::memcpy(drive_.WriteBufferData(), FlashProfiles() + FlashProfileOffset(ProfileMap[entry]),
                ProfileSize(entry));
}

bool FirmwareDownload::SendFlashProfile() {
    if (drive_.WriteBufferCapacity() < kProfileClearBytes ||
        drive_.ReadBufferCapacity() < kProfileClearBytes) {
        return false;
    }
    std::uint8_t* out = drive_.WriteBufferData();
    std::memset(out, 0, kProfileClearBytes);
    if (!drive_.ReadFlashId()) {
        return false;
    }
    const std::uint8_t* id = drive_.ReadBufferData();
    const int k = FindFlashChip(id[0], id[1], id[2], id[3]);
    if (k == -1) {
        return false;
    }
    const std::uint32_t size = ProfileSize(k);
    if (size == 0) {
        return false;
    }
    // The header, the identification (entries 0 and 1) or the whole table entry, then the
    // profile.
    const std::uint32_t header = k < 2 ? 4 : 6;
    std::memcpy(out, &FlashChipTable[k], header);
    std::memcpy(out + header, FlashProfiles() + FlashProfileOffset(ProfileMap[k]), size);

    std::uint32_t length = size + (size & 1);
    // Entries 2, 3 and 4 count their header inside the profile's size.
    if (k < 2 || k > 4) {
        length += header;
    }
    if (k < 2) {
        return drive_.WriteBuffer(kProfileOffsetSmallChips, length, kWriteImageBlock);
    }
    return drive_.WriteBuffer(0, length, kWriteFlashProfile);
}

bool FirmwareDownload::TransferImage(const std::uint8_t* data, std::int32_t size) {
    if (size < 0 || drive_.WriteBufferCapacity() < kBlockBytes ||
        drive_.ReadBufferCapacity() < kBlockBytes) {
        return false;
    }
    const std::uint32_t blocks = static_cast<std::uint32_t>(size) / kBlockBytes;
    std::uint8_t* readBack = drive_.ReadBufferData();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (observer_ != nullptr) {
            observer_->StageReached(DownloadStage::Transfer, attempt + 1);
        }
        bool passed = true;
        for (std::uint32_t i = 0; i < blocks && passed; ++i) {
            const std::uint32_t offset = i * kBlockBytes;
            const std::uint8_t* block = data + offset;
            // A read-back shorter than the block fails on its length; one that claims the
            // whole block but brings less fails on the poisoned bytes.
            Poison(readBack, block);
            passed = drive_.WriteBufferFrom(offset, block, kBlockBytes) &&
                     drive_.ReadBuffer(offset, kBlockBytes) &&
                     std::memcmp(readBack, block, kBlockBytes) == 0;
            if (observer_ != nullptr) {
                if (passed) {
                    observer_->BlockVerified(attempt + 1, i, blocks);
                } else {
                    observer_->BlockFailed(attempt + 1, i);
                }
            }
        }
        if (passed) {
            return true;
        }
    }
    return false;
}

bool FirmwareDownload::DownloadFirmware(const std::uint8_t* data, std::int32_t size,
                                        bool withBootCode) {
    // Only whole blocks can be verified: an image that is empty, not made of whole blocks or
    // too large for the command's offsets would leave the drive programmed with a partial
    // image. Refuse it before anything is sent.
    if (data == nullptr || size <= 0 || size % static_cast<std::int32_t>(kBlockBytes) != 0 ||
        size > kLargestImage) {
        return false;
    }

    drive_.SetTimeLimit(kDefaultTimeLimit);
    drive_.ClearTransferMark();
    drive_.WaitReady(60);
    drive_.ClearTransferMark();
    drive_.StopUnit();
    drive_.ClearTransferMark();
    if (observer_ != nullptr) {
        observer_->StageReached(DownloadStage::Profile, 0);
    }
    SendFlashProfile();  // a chip not in the table still gets the image

    drive_.SetTransferMark();
    if (!TransferImage(data, size)) {
        return false;
    }
    drive_.WaitTimer().Delay(kPauseBeforeProgramSeconds);
    if (observer_ != nullptr) {
        observer_->StageReached(DownloadStage::Program, 0);
    }
    return drive_.WriteBuffer(0, 0, withBootCode ? kProgramFlashWithBootCode : kProgramFlash);
}

}  // namespace quiver
