// Finding the package block in a built executable. An ELF or PE file names the block by its
// section, ".qvpkg", read from the file's own section table; any other file, or an executable
// without that section, is searched for the block's marker texts at their fixed offsets. A file
// with no block, or with more than one, is refused: the packaging step never guesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quiver::pack {

enum class FileFormat { Elf32, Elf64, Pe32, Pe32Plus, Other };

struct BlockLocation {
    std::size_t offset = 0;  // of the block's first byte in the file
    FileFormat format = FileFormat::Other;
    bool by_section = false;  // false: found by its marker texts
    std::string how;          // for messages, e.g. "ELF64 section .qvpkg at file offset 0x3020"
};

struct LocateResult {
    std::optional<BlockLocation> location;
    std::string error;  // why there is no location
};

constexpr char kPackageSection[] = ".qvpkg";

LocateResult LocateBlock(std::span<const std::uint8_t> file);

// True when the kPackageSize bytes at `block` carry the block's fixed marker texts: the
// constraint marker and the name of every key entry at its offset. Filling never changes them.
bool HasBlockMarkers(const std::uint8_t* block);

// PE files only. The optional header's checksum, recomputed after the block changed; a zero
// checksum (the linker's default for programs) stays zero. Nothing happens to other files.
void UpdatePeChecksum(std::span<std::uint8_t> file);
// True when the PE file carries a certificate table (an Authenticode signature).
bool PeIsSigned(std::span<const std::uint8_t> file);

const char* FormatName(FileFormat format);

}  // namespace quiver::pack
