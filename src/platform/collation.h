// CompareStringA for the backends that have no Windows underneath: the C library's collation of
// the current locale, case-sensitive, on texts bounded by their counts (-1: zero-terminated).
#pragma once

#include "platform/winapi.h"

namespace quiver {

// CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN; 0 with `*error` set on bad arguments or
// flags other than 0.
int CollateStrings(DWORD flags, const char* string1, int count1, const char* string2, int count2,
                   DWORD* error);

}  // namespace quiver
