#include "platform/collation.h"

#include <cstring>
#include <string>

namespace quiver {

namespace {
constexpr DWORD kErrorInvalidFlags = 1004;
}  // namespace

int CollateStrings(DWORD flags, const char* string1, int count1, const char* string2, int count2,
                   DWORD* error) {
    if (string1 == nullptr || string2 == nullptr || count1 < -1 || count2 < -1) {
        *error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (flags != 0) {
        *error = kErrorInvalidFlags;
        return 0;
    }
    const std::string a = count1 == -1 ? std::string(string1)
                                       : std::string(string1, static_cast<std::size_t>(count1));
    const std::string b = count2 == -1 ? std::string(string2)
                                       : std::string(string2, static_cast<std::size_t>(count2));
    const int order = std::strcoll(a.c_str(), b.c_str());
    if (order < 0) {
        return CSTR_LESS_THAN;
    }
    return order == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

}  // namespace quiver
