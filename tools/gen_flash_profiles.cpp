// gen_flash_profiles: writes the placeholder flash profile resource, laid out as FlashProfiles()
// expects it: the 22 profiles back to back in number order, 19,590 bytes. Profile p serves the
// identifications of every chip table entry that takes it; the 1280-byte profiles end in 6 zero
// bytes, as the drive makers' do.
//
//   gen_flash_profiles OUTPUT
#include <array>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <vector>

#include "flash/flash_tables.h"
#include "formats/flash_profile_format.h"

namespace {

constexpr std::size_t kZeroTailSize = 1280;
constexpr std::uint16_t kZeroTail = 6;

std::vector<std::uint8_t> MakeResource() {
    std::vector<std::uint8_t> resource;
    resource.reserve(quiver::kFlashProfilesBytes);
    for (int p = 0; p < static_cast<int>(quiver::kFlashProfileCount); ++p) {
        std::vector<std::array<std::uint8_t, 4>> ids;
        for (int entry = 0; entry < quiver::kFlashChipCount; ++entry) {
            if (quiver::ProfileMap[entry] != p)
                continue;
            const auto& id = quiver::FlashChipTable[entry].id;
            ids.push_back({id[0], id[1], id[2], id[3]});
        }
        const std::size_t size = quiver::FlashProfileSize(p);
        const std::vector<std::uint8_t> profile = sim::MakePlaceholderProfile(
            p, static_cast<std::uint16_t>(size), ids, size == kZeroTailSize ? kZeroTail : 0);
        if (resource.size() != quiver::FlashProfileOffset(p)) {
            throw std::runtime_error("profile offsets disagree with the chip table");
        }
        resource.insert(resource.end(), profile.begin(), profile.end());
    }
    if (resource.size() != quiver::kFlashProfilesBytes) {
        throw std::runtime_error("profile sizes do not add up to the resource size");
    }
    return resource;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gen_flash_profiles OUTPUT\n");
        return 2;
    }
    try {
        const std::vector<std::uint8_t> resource = MakeResource();
        std::FILE* out = std::fopen(argv[1], "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "gen_flash_profiles: cannot create %s\n", argv[1]);
            return 1;
        }
        const bool written =
            std::fwrite(resource.data(), 1, resource.size(), out) == resource.size();
        if (std::fclose(out) != 0 || !written) {
            std::fprintf(stderr, "gen_flash_profiles: cannot write %s\n", argv[1]);
            std::remove(argv[1]);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gen_flash_profiles: %s\n", e.what());
        return 1;
    }
    return 0;
}
