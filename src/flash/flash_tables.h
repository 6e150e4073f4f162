// What the updater knows of flash chips: the chip table, the profile each chip entry takes, and
// the flash profiles themselves (drive-side code that programs one chip), stored back to back in
// profile number order. All of it is read-only and shared by every drive object.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quiver {

// One flash chip: its 4 identification bytes (byte 0 the JEDEC manufacturer code, byte 1 the
// device code, byte 2 zero, byte 3 the variant), then the size of its profile, big-endian. The
// 6 bytes are sent as they stand in front of the profile.
struct FlashChipEntry {
    std::uint8_t id[4];
    std::uint8_t sizeHigh;
    std::uint8_t sizeLow;

    constexpr std::uint16_t ProfileSize() const {
        return static_cast<std::uint16_t>((sizeHigh << 8) | sizeLow);
    }
};
static_assert(sizeof(FlashChipEntry) == 6);

// Entries are indexed by int: the chip search answers -1 when no entry matches.
constexpr int kFlashChipCount = 27;
constexpr std::size_t kFlashProfileCount = 22;
constexpr std::size_t kFlashProfilesBytes = 19590;

extern const FlashChipEntry FlashChipTable[kFlashChipCount];

// The number of the profile that serves each FlashChipTable entry. Entries with the same profile
// stand next to each other and carry the same size.
extern const std::int32_t ProfileMap[kFlashChipCount];

// Where profile `profile` (0..21) begins in FlashProfiles() and how long it is; 0 and 0 for any
// other number.
std::size_t FlashProfileOffset(int profile);
std::size_t FlashProfileSize(int profile);

// The kFlashProfilesBytes bytes of the 22 profiles, linked into the program.
const std::uint8_t* FlashProfiles();

// True when the build carries the placeholder profiles, which only the emulated drive accepts,
// rather than the drive makers' resource.
bool FlashProfilesArePlaceholders();

}  // namespace quiver
