// The firmware download: the flash profile for the drive's flash chip, the image in verified
// 16 KiB blocks, and the command that programs the flash. It works through a drive object that
// has its drive selected, and keeps no state of its own between calls.
#pragma once

#include <cstdint>

namespace quiver {

class AtapiDevice;
class DownloadObserver;

class FirmwareDownload {
  public:
    // `observer`, when given, hears of the stages and blocks as they pass.
    explicit FirmwareDownload(AtapiDevice& drive, DownloadObserver* observer = nullptr)
        : drive_(drive), observer_(observer) {}

    // The whole download of `size` bytes (whole blocks, at most what the offsets can carry);
    // true when the drive was told to program its flash. Nothing is sent for an image it
    // refuses.
    bool DownloadFirmware(const std::uint8_t* data, std::int32_t size, bool withBootCode);
    // Reads the flash-chip identification and sends that chip's profile with its header.
    bool SendFlashProfile();
    // Writes the image block by block, each read back and compared; up to three passes.
    bool TransferImage(const std::uint8_t* data, std::int32_t size);
    // Copies the profile of table entry `entry` to the start of the write buffer.
    void LoadFlashProfile(int entry);

    // The table entry of a flash-chip identification; -1 for a chip not in the table.
    static int FindFlashChip(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3);
    // The profile size of a table entry; 0 for an entry outside the table.
    static std::uint16_t ProfileSize(int entry);

  private:
    AtapiDevice& drive_;
    DownloadObserver* observer_;
};

}  // namespace quiver
