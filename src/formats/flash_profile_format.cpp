#include "formats/flash_profile_format.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

constexpr std::size_t kMaxIds = 4;

std::uint16_t GetBig16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

void PutBig16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::vector<std::uint8_t> MakePlaceholderProfile(
    int number, std::uint16_t size, const std::vector<std::array<std::uint8_t, 4>>& ids,
    std::uint16_t zeroTail) {
    if (number < 0 || number > 255) {
        throw std::invalid_argument("placeholder profile number must be 0..255");
    }
    if (ids.empty() || ids.size() > kMaxIds) {
        throw std::invalid_argument("a placeholder profile serves 1 to 4 flash identifications");
    }
    const std::size_t head = PlaceholderProfileHead(ids.size());
    if (std::size_t{size} < head + zeroTail) {
        throw std::invalid_argument("placeholder profile size too small for its head and tail");
    }

    std::vector<std::uint8_t> profile(size);
    for (std::size_t i = 0; i < profile.size(); ++i) {
        profile[i] =
            static_cast<std::uint8_t>((i * 29 + static_cast<std::size_t>(number) * 53 + 11) % 251);
    }
    std::uint8_t* p = profile.data();
    std::memcpy(p, kProfileMagic.data(), kProfileMagic.size());
    p[4] = static_cast<std::uint8_t>(number);
    p[5] = static_cast<std::uint8_t>(ids.size());
    PutBig16(p + 6, size);
    p += 8;
    for (const auto& id : ids) {
        std::memcpy(p, id.data(), id.size());
        p += id.size();
    }
    PutBig16(p, zeroTail);
    p += 2;
    std::memcpy(p, kProfileText, sizeof kProfileText);
    std::fill(profile.end() - zeroTail, profile.end(), std::uint8_t{0});
    return profile;
}

bool PlaceholderProfileServes(const std::uint8_t* profile, std::size_t length,
                              const std::array<std::uint8_t, 4>& flashId, int* number) {
    // The fixed part first, each field only once it is known to lie within `length`.
    if (profile == nullptr || length < 8)
        return false;
    if (!std::equal(kProfileMagic.begin(), kProfileMagic.end(), profile))
        return false;
    const int p = profile[4];
    const std::size_t k = profile[5];
    const std::uint16_t size = GetBig16(profile + 6);
    if (k == 0 || k > kMaxIds || length < 10 + 4 * k)
        return false;
    const std::uint16_t zeroTail = GetBig16(profile + 8 + 4 * k);
    if (std::size_t{size} < PlaceholderProfileHead(k) + zeroTail)
        return false;

    // How much of the profile may arrive: all of it less the zero tail at most, plus one pad
    // byte when the size is odd.
    const std::size_t longest = size + (size % 2);
    if (length < std::size_t{size} - zeroTail || length > longest)
        return false;

    std::vector<std::array<std::uint8_t, 4>> ids(k);
    for (std::size_t i = 0; i < k; ++i) {
        std::memcpy(ids[i].data(), profile + 8 + 4 * i, 4);
    }
    const std::vector<std::uint8_t> expected = MakePlaceholderProfile(p, size, ids, zeroTail);
    const std::size_t compared = std::min<std::size_t>(length, size);
    if (!std::equal(expected.begin(), expected.begin() + compared, profile))
        return false;
    if (length > size && profile[size] != 0)
        return false;  // the pad byte

    if (std::find(ids.begin(), ids.end(), flashId) == ids.end())
        return false;
    if (number != nullptr)
        *number = p;
    return true;
}

}  // namespace sim
