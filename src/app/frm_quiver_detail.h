// What the main window's files share.
#pragma once

#include <cstring>
#include <string>

namespace quiver::detail {

// A fixed-size text field up to its first zero.
inline std::string Bounded(const char* text, std::size_t size) {
    return std::string(text, strnlen(text, size));
}

}  // namespace quiver::detail
