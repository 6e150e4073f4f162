// The firmware download: the flash profile for the drive's flash chip, the image in verified
// 16 KiB blocks, and the command that programs the flash.
#include <cstring>

#include "device/atapi_device.h"
#include "flash/flash_tables.h"

namespace quiver {

namespace {

constexpr std::uint32_t kBlockBytes = 16384;
constexpr int kAttempts = 3;
constexpr std::uint32_t kProfileClearBytes = 32768;
constexpr std::uint32_t kProfileOffsetSmallChips = 0x080000;
// Offsets and lengths travel in 24 bits.
constexpr std::int32_t kLargestImage = 0x1000000;

}  // namespace

int AtapiDevice::FindFlashChip(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    for (int k = 0; k < kFlashChipCount; ++k) {
        const FlashChipEntry& e = FlashChipTable[k];
        if (e.id[0] == b0 && e.id[1] == b1 && e.id[2] == b2 && e.id[3] == b3) {
            return k;
        }
    }
    return -1;
}

std::uint16_t AtapiDevice::ProfileSize(int entry) {
    if (entry < 0 || entry >= kFlashChipCount) {
        return 0;
    }
    const FlashChipEntry& e = FlashChipTable[entry];
    return static_cast<std::uint16_t>((e.sizeHigh << 8) | e.sizeLow);
}

void AtapiDevice::LoadFlashProfile(int entry) {
    if (entry < 0 || entry >= kFlashChipCount || writeCapacity_ < kProfileClearBytes) {
        return;
    }
    std::memcpy(writeBuffer_, FlashProfiles() + FlashProfileOffset(ProfileMap[entry]),
                ProfileSize(entry));
}

bool AtapiDevice::SendFlashProfile() {
    if (writeCapacity_ < kProfileClearBytes || readCapacity_ < kProfileClearBytes) {
        return false;
    }
    std::memset(writeBuffer_, 0, kProfileClearBytes);
    if (!ReadFlashId()) {
        return false;
    }
    const int k = FindFlashChip(readBuffer_[0], readBuffer_[1], readBuffer_[2], readBuffer_[3]);
    if (k == -1) {
        return false;
    }
    const std::uint32_t size = ProfileSize(k);
    if (size == 0) {
        return false;
    }
    // The header: the identification (entries 0 and 1), or the whole table entry.
    const std::uint32_t header = k < 2 ? 4 : 6;
    LoadFlashProfile(k);
    std::memmove(writeBuffer_ + header, writeBuffer_, size);
    std::memcpy(writeBuffer_, &FlashChipTable[k], header);

    std::uint32_t length = size + (size & 1);
    // Entries 2, 3 and 4 count their header inside the profile's size.
    if (k < 2 || k > 4) {
        length += header;
    }
    if (k < 2) {
        return WriteBuffer(kProfileOffsetSmallChips, length, 0);
    }
    return WriteBuffer(0, length, 0x7F);
}

bool AtapiDevice::TransferImage(const std::uint8_t* data, std::int32_t size) {
    if (size < 0 || writeCapacity_ < kBlockBytes || readCapacity_ < kBlockBytes) {
        return false;
    }
    const std::uint32_t blocks = static_cast<std::uint32_t>(size) / kBlockBytes;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        bool passed = true;
        for (std::uint32_t i = 0; i < blocks && passed; ++i) {
            const std::uint32_t offset = i * kBlockBytes;
            std::memset(writeBuffer_, 0, kBlockBytes);
            std::memset(readBuffer_, 0, kBlockBytes);
            std::memcpy(writeBuffer_, data + offset, kBlockBytes);
            passed = WriteBuffer(offset, kBlockBytes, 0) && ReadBuffer(offset, kBlockBytes) &&
                     std::memcmp(readBuffer_, writeBuffer_, kBlockBytes) == 0;
        }
        if (passed) {
            return true;
        }
    }
    return false;
}

bool AtapiDevice::DownloadFirmware(const std::uint8_t* data, std::int32_t size, bool withBootCode) {
    // Only whole blocks can be verified: an image that is empty, not made of whole blocks or
    // too large for the command's offsets would leave the drive programmed with a partial
    // image. Refuse it before anything is sent.
    if (data == nullptr || size <= 0 || size % static_cast<std::int32_t>(kBlockBytes) != 0 ||
        size > kLargestImage) {
        return false;
    }

    SetTimeLimit(kDefaultTimeLimit);
    ClearTransferMark();
    WaitReady(60);
    ClearTransferMark();
    StopUnit();
    ClearTransferMark();
    SendFlashProfile();  // a chip not in the table still gets the image

    SetTransferMark();
    if (!TransferImage(data, size)) {
        return false;
    }
    waitTimer_.Delay(1.0);
    return WriteBuffer(0, 0, withBootCode ? 0xA0 : 0x80);
}

}  // namespace quiver
