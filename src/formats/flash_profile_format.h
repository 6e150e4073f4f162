// The placeholder flash profiles. The drive makers' profiles (drive-side code that programs one
// flash chip) are not ours to ship, so the default build carries placeholders of the same sizes,
// each one recognisably ours and different from the others. The emulated KMR-730T accepts a
// profile only when it is the placeholder that serves its own flash chip, so a wrong profile, a
// shifted one or a cut one is caught. gen_flash_profiles makes them and quiver-pack recognises
// them.
//
// Layout of placeholder profile p (`size` bytes, numbers big-endian):
//   0     4  magic "QVPF"
//   4     1  profile number p
//   5     1  k, the number of flash identifications the profile serves (1..4)
//   6     2  the profile's size
//   8    4k  the identifications, 4 bytes each
//   8+4k  2  t, the length of the zero tail
//   10+4k    the text "Quiver placeholder flash profile, not drive code", zero-terminated
//   ..       pattern bytes: byte i = (i * 29 + p * 53 + 11) mod 251, for i counted from 0 at the
//            start of the profile
//   the last t bytes are zero (6 for the 1280-byte profiles 2, 3 and 8, else 0)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

constexpr std::array<std::uint8_t, 4> kProfileMagic{'Q', 'V', 'P', 'F'};
constexpr const char kProfileText[] = "Quiver placeholder flash profile, not drive code";

// The number of leading bytes a placeholder profile serving `idCount` identifications needs
// before its pattern: header, identifications, tail length and text.
constexpr std::size_t PlaceholderProfileHead(std::size_t idCount) {
    return 10 + 4 * idCount + sizeof kProfileText;
}

// Throws std::invalid_argument when `number` is outside 0..255, `ids` holds no or more than 4
// identifications, or `size` has no room for the head and the zero tail.
std::vector<std::uint8_t> MakePlaceholderProfile(
    int number, std::uint16_t size, const std::vector<std::array<std::uint8_t, 4>>& ids,
    std::uint16_t zeroTail);

// True when `profile` (the bytes the drive received after the header, `length` of them) is a
// placeholder that serves `flashId`; `number` then receives its number. The drive accepts the
// whole profile, the profile cut short within its zero tail (so by at most t bytes), and, when
// the profile's size is odd, the profile followed by one zero pad byte. Every byte received must
// be the placeholder's own. Reads no byte at or after `length`.
bool PlaceholderProfileServes(const std::uint8_t* profile, std::size_t length,
                              const std::array<std::uint8_t, 4>& flashId, int* number = nullptr);

}  // namespace sim
