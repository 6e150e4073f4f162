// How the Win32 toolkit draws what the seam describes: colours and pictures as GDI takes them.
#pragma once

#include "ui/toolkit.h"
#include "ui/win32/win32_system.h"

namespace quiver::ui::win32 {

inline COLORREF Ref(Color c) {
    return RGB(c.red, c.green, c.blue);
}

// A 24-bit top-down bitmap of the picture, its transparency blended onto the button face; null
// for a picture without pixels or with fewer than its size asks for. The caller owns it.
HBITMAP MakeBitmap(const Picture& picture);

}  // namespace quiver::ui::win32
