// Small helpers that the headless toolkit's files share; not part of the toolkit's interface.
#pragma once

#include <cstdint>

namespace quiver::ui::headless::detail {

constexpr std::int64_t kNanosPerMilli = 1'000'000;

// A flag as an event value: 1 or 0.
constexpr int Flag(bool b) {
    return b ? 1 : 0;
}

}  // namespace quiver::ui::headless::detail
