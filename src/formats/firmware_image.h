// The firmware image format of the emulated KMR-730T. A real drive checks the image in its
// buffer before it programs its flash; the emulated one does too, and after programming it
// reports the revision written in the image. The generators and quiver-pack make and check
// images of this format too.
//
// Layout (all numbers big-endian):
//   0x00  16  magic "KMR-730T FWIMAGE"
//   0x10   4  image size in bytes, a multiple of 16,384, at least 16,384
//   0x14   4  revision, 4 printable ASCII characters
//   0x18   8  vendor, ASCII, blank-padded
//   0x20  16  product, ASCII, blank-padded
//   0x30  16  build text, ASCII, zero-padded
//   0x40   .. body
//   size-4 4  CRC-32 (IEEE) of bytes 0 .. size-5
#pragma once

#include <cstddef>
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
    std::string vendor;   // the 8 bytes of the field, padding included
    std::string product;  // the 16 bytes of the field, padding included
    std::string build;    // up to the first zero byte
};

// Makes an image of `size` bytes (a multiple of 16,384) with the given revision; the body is a
// pattern drawn from `seed`, so that two images differ everywhere. The vendor and product are
// those of the KMR-730T. Throws std::invalid_argument for a size that is not a non-zero
// multiple of 16,384, a revision that is not 4 printable ASCII characters, or a build text
// longer than 16 characters.
std::vector<std::uint8_t> MakeFirmwareImage(const std::string& revision, std::uint32_t size,
                                            std::uint32_t seed = 1,
                                            const std::string& build = "demo image");

// Checks an image as the drive does before programming: magic, size within `available` bytes,
// CRC, a printable revision. Nothing on failure. Reads no byte at or after `available`.
std::optional<ImageInfo> ParseFirmwareImage(const std::uint8_t* bytes, std::size_t available);

// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320, initial and final XOR 0xFFFFFFFF).
std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length);

}  // namespace sim
