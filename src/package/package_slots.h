// Writing the slots of a package block: a text into its slot, and the placeholder entry that
// marks a constraint entry never filled. The built-in block is made with these at compile time;
// the packaging step uses the same ones to fill a block in a built executable.
#pragma once

#include <cstddef>
#include <string_view>

#include "package/package_layout.h"

namespace quiver {

// Writes `text` at the start of `slot` and zeroes the rest of the slot. False, with the slot left
// as it was, when the text does not leave room for its terminating zero.
template <std::size_t N>
constexpr bool PutSlotText(char (&slot)[N], std::string_view text) {
    if (text.size() >= N) {
        return false;
    }
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        slot[i] = text[i];
    }
    for (; i < N; ++i) {
        slot[i] = '\0';
    }
    return true;
}

// The entry that a never-filled entry `entry_number` (1 to 8) of bank `bank` (1 to 4) holds:
// "#FLSH" with the bank digit and the entry digit at offset 0, "#" at offsets 8, 16 and 28, and
// zero in every other byte.
constexpr ConstraintEntry PlaceholderEntry(int bank, int entry_number) {
    ConstraintEntry entry{};
    const char lowest[] = {'#',
                           'F',
                           'L',
                           'S',
                           'H',
                           static_cast<char>('0' + bank),
                           static_cast<char>('0' + entry_number)};
    PutSlotText(entry.lowest, std::string_view(lowest, sizeof lowest));
    PutSlotText(entry.highest, "#");
    PutSlotText(entry.vendor, "#");
    PutSlotText(entry.product, "#");
    return entry;
}

}  // namespace quiver
