// quiver-pack's reader and writer of a Windows updater's version strings over an arbitrary
// resource section. The input's first 4 bytes give the section's address (its low bit: PE32
// instead of PE32+), the rest is the section; the harness wraps it in a PE file of one section
// whose resource directory is that section. Reading stays within the file, and writing the
// package's strings changes nothing but the strings' values.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "manifest.h"
#include "version_strings.h"

namespace {

void Put16(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
    f[at] = static_cast<std::uint8_t>(v);
    f[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
    Put16(f, at, v & 0xFFFF);
    Put16(f, at + 2, v >> 16);
}

std::vector<std::uint8_t> WrapInPe(const std::uint8_t* data, std::size_t size) {
    const std::uint32_t head =
        data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    const bool plus = (head & 1) == 0;
    const std::uint32_t address = head & 0x0FFFF000;
    const std::uint32_t length = static_cast<std::uint32_t>(size - 4);
    constexpr std::size_t kPe = 0x40;
    constexpr std::size_t kRaw = 0x200;
    const std::size_t optional = kPe + 24;
    const std::size_t optional_size = plus ? 240 : 224;
    std::vector<std::uint8_t> file(kRaw, 0);
    file[0] = 'M';
    file[1] = 'Z';
    Put32(file, 0x3C, kPe);
    std::memcpy(file.data() + kPe, "PE\0\0", 4);
    Put16(file, kPe + 4, plus ? 0x8664 : 0x14C);
    Put16(file, kPe + 6, 1);  // one section
    Put16(file, kPe + 20, static_cast<std::uint32_t>(optional_size));
    Put16(file, optional, plus ? 0x20B : 0x10B);
    Put32(file, optional + (plus ? 108 : 92), 16);  // data directories
    const std::size_t resources = optional + (plus ? 112 : 96) + 2 * 8;
    Put32(file, resources, address);
    Put32(file, resources + 4, length);
    const std::size_t section = optional + optional_size;
    std::memcpy(file.data() + section, ".rsrc", 5);
    Put32(file, section + 8, length);
    Put32(file, section + 12, address);
    Put32(file, section + 16, length);
    Put32(file, section + 20, kRaw);
    file.insert(file.end(), data + 4, data + size);
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    const std::vector<std::uint8_t> file = WrapInPe(data, size);
    const quiver::pack::VersionStrings found = quiver::pack::ReadVersionStrings(file);

    quiver::pack::Manifest manifest;
    manifest.title = "Fuzz updater";
    manifest.version = "v1";
    manifest.drive_name = "Korvane DVDRW KMR-730T";
    manifest.banks.resize(1);
    manifest.banks[0].new_revision = "QM0F";
    std::vector<std::uint8_t> written = file;
    quiver::pack::Diagnostics diagnostics;
    quiver::pack::WritePackageVersionStrings(written, manifest, diagnostics);
    // Only the bytes of the strings' values may differ.
    std::vector<bool> value(file.size(), false);
    for (const quiver::pack::VersionString& s : found.strings) {
        if (s.offset > file.size() || 2 * s.capacity > file.size() - s.offset) {
            __builtin_trap();  // a string that does not lie inside the file
        }
        for (std::size_t i = 0; i < 2 * s.capacity; ++i) {
            value[s.offset + i] = true;
        }
    }
    for (std::size_t i = 0; i < file.size(); ++i) {
        if (!value[i] && written[i] != file[i]) {
            __builtin_trap();
        }
    }
    return 0;
}
