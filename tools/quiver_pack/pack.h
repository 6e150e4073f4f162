// Filling the package block of a built updater from a manifest, and describing the package of
// any updater.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "formats/firmware_image.h"
#include "manifest.h"
#include "package/locate.h"

namespace quiver::pack {

// A bank's image as it will sit in the image area.
struct LoadedBank {
    std::int64_t start = 0;
    std::vector<std::uint8_t> bytes;
    std::optional<sim::ImageInfo> emulated;  // set when the emulated drive accepts the image
};

// Reads every bank's image and lays the banks out in the image area: back to back from 0, a bank
// with an explicit start at that start, the next one right after it. Checks sizes, ranges and
// overlaps.
std::vector<LoadedBank> LoadBanks(const Manifest& manifest, Diagnostics& diagnostics);

// Writes everything the manifest names into the block (kPackageSize bytes at `block`): texts,
// all 32 constraint entries (placeholders where the manifest gives none), every key entry and the
// image area (zero where no bank lies). The free texts are left as they are.
void WriteBlock(std::uint8_t* block, const Manifest& manifest,
                const std::vector<LoadedBank>& banks);

// The first 16 bytes of placeholder flash profile 0, which an updater built with the placeholder
// profiles carries in its file.
std::array<std::uint8_t, 16> PlaceholderProfileSignature();
// True when the file holds the placeholder profile signature outside the package block.
bool CarriesPlaceholderProfiles(std::span<const std::uint8_t> file, std::size_t block_offset);

// The interlock between flash profiles and images: an updater carrying the placeholder profiles
// must not receive a real drive's image unless the manifest declares it for the emulated drive.
void CheckInterlock(std::span<const std::uint8_t> file, std::size_t block_offset,
                    const Manifest& manifest, const std::vector<LoadedBank>& banks,
                    Diagnostics& diagnostics);

struct FillResult {
    std::vector<std::uint8_t> file;  // the filled updater; empty when there were errors
    Diagnostics diagnostics;
    std::optional<BlockLocation> location;
};

// Locates the block in `updater`, reads and checks the manifest, loads the images and fills the
// block. Nothing is returned in `file` when any error was found; every problem is reported.
FillResult Fill(std::vector<std::uint8_t> updater, std::string_view manifest_json,
                const std::filesystem::path& image_dir);

// The package of an updater as JSON: where the block is, its texts, flags with their effects,
// banks with ranges, new revisions and constraint entries.
nlohmann::ordered_json DescribePackage(std::span<const std::uint8_t> file,
                                       const BlockLocation& location);
// The same for a person to read.
std::string RenderPackage(const nlohmann::ordered_json& description);

}  // namespace quiver::pack
