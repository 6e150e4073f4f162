// The firmware image format of the emulated KMR-730T. A real drive checks the image in its
// buffer before it programs its flash; the emulated one does too, and after programming it
// reports the revision written in the image.
//
// Layout (all numbers big-endian):
//   0x00  16  magic "KMR-730T FWIMAGE"
//   0x10   4  image size in bytes, a multiple of 16,384, at least 16,384
//   0x14   4  revision, 4 ASCII characters
//   0x18   8  vendor, ASCII, blank-padded
//   0x20  16  product, ASCII, blank-padded
//   0x30  16  build text, ASCII, zero-padded
//   0x40   .. body
//   size-4 4  CRC-32 (IEEE) of bytes 0 .. size-5
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

constexpr std::uint32_t kImageBlock = 16384;
constexpr const char kImageMagic[] = "KMR-730T FWIMAGE";

struct ImageInfo {
    std::uint32_t size = 0;
    std::string revision;
    std::string vendor;
    std::string product;
    std::string build;
};

// Makes an image of `size` bytes (a multiple of 16,384) with the given revision; the body is a
// pattern drawn from `seed`, so that two images differ everywhere.
std::vector<std::uint8_t> MakeFirmwareImage(const std::string& revision, std::uint32_t size,
                                            std::uint32_t seed = 1,
                                            const std::string& build = "demo image");

// Checks an image as the drive does before programming: magic, size within `available` bytes,
// CRC. Nothing on failure.
std::optional<ImageInfo> ParseFirmwareImage(const std::uint8_t* bytes, std::size_t available);

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length);

}  // namespace sim
