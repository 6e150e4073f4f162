// Writable copies of the embedded package for tests that fill or damage slots.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "package/package_layout.h"

namespace quiver::testing {

inline std::vector<std::uint8_t> CopyOfEmbeddedPackage() {
    const std::uint8_t* block = EmbeddedPackage();
    return std::vector<std::uint8_t>(block, block + kPackageSize);
}

// Zeroes the slot and writes the text at its start, unterminated when it fills the slot.
inline void PutSlot(std::vector<std::uint8_t>& block, std::size_t offset, std::size_t size,
                    std::string_view text) {
    std::memset(block.data() + offset, 0, size);
    std::memcpy(block.data() + offset, text.data(), text.size() < size ? text.size() : size);
}

inline std::size_t EntryOffset(int bank, int entry) {
    return 0x0EE + ((bank - 1) * kEntriesPerBank + (entry - 1)) * sizeof(ConstraintEntry);
}

// Writes a constraint entry; empty fields stay zero.
inline void PutEntry(std::vector<std::uint8_t>& block, int bank, int entry, std::string_view low,
                     std::string_view high, std::string_view vendor, std::string_view product) {
    const std::size_t at = EntryOffset(bank, entry);
    PutSlot(block, at, 48, "");
    PutSlot(block, at, 8, low);
    PutSlot(block, at + 8, 8, high);
    PutSlot(block, at + 16, 12, vendor);
    PutSlot(block, at + 28, 20, product);
}

}  // namespace quiver::testing
