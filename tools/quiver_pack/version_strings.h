// The version information of a Windows updater (its RT_VERSION resource) names the package it
// carries, so that the file's properties in Windows show which firmware it writes. quiver.exe is
// built with fixed-size strings for that; filling the package rewrites them in place, as it
// rewrites the package block, and `show` prints them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "manifest.h"

namespace quiver::pack {

// One string of the version information.
struct VersionString {
    std::string key;
    std::string value;         // up to its first zero; characters above 0x7E become '?'
    std::size_t offset = 0;    // file offset of the value's first UTF-16 unit
    std::size_t capacity = 0;  // UTF-16 units of the value, its terminating zero included
};

struct VersionStrings {
    bool present = false;  // the file is a PE file with version information
    std::string error;     // why the version information could not be read (then not present)
    std::vector<VersionString> strings;  // of every string table, in file order
};

// Reads the strings of a PE file's version information. Every read is bounds-checked: a damaged
// resource tree gives an error, never a read outside the file. Any other file has none.
VersionStrings ReadVersionStrings(std::span<const std::uint8_t> file);

// The keys of the strings that name the package, with their texts for this manifest:
// "PackageTitle" (the caption the updater shows), "DriveName", "FirmwareVersion" (the banks' new
// revisions) and "FileDescription", the one Windows shows first.
std::vector<std::pair<std::string, std::string>> PackageVersionTexts(const Manifest& manifest);

// Rewrites those strings of the file's version information in place: the text, then zeros up to
// the string's capacity; its sizes stay as they are. A text longer than its string is cut, with a
// warning. A PE file without version information, or without these strings, is left as it is.
void WritePackageVersionStrings(std::span<std::uint8_t> file, const Manifest& manifest,
                                Diagnostics& diagnostics);

// The strings as JSON ({"key": "value", ...}); null for a file without version information.
nlohmann::ordered_json DescribeVersionStrings(std::span<const std::uint8_t> file);
// The same for a person to read: one line a string, empty for null.
std::string RenderVersionStrings(const nlohmann::ordered_json& description);

}  // namespace quiver::pack
