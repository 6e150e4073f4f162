// Pictures and fonts as GDI objects for the Win32 toolkit.
#include "ui/win32/win32_painting.h"

#include <cstdint>
#include <tuple>

#include "ui/win32/win32_toolkit.h"

namespace quiver::ui::win32 {

HBITMAP MakeBitmap(const Picture& picture) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.pixels.size() < static_cast<std::size_t>(picture.width) * picture.height) {
        return nullptr;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr || bits == nullptr) {
        return bitmap;
    }
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const unsigned faceRgb[3] = {GetRValue(face), GetGValue(face), GetBValue(face)};
    auto* out = static_cast<std::uint32_t*>(bits);
    for (std::size_t i = 0; i < static_cast<std::size_t>(picture.width) * picture.height; ++i) {
        const std::uint32_t p = picture.pixels[i];
        const unsigned a = p >> 24;
        unsigned rgb[3] = {(p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF};
        for (int c = 0; c < 3; ++c) {
            rgb[c] = (rgb[c] * a + faceRgb[c] * (255 - a) + 127) / 255;
        }
        out[i] = (rgb[0] << 16) | (rgb[1] << 8) | rgb[2];
    }
    return bitmap;
}

void* Win32Application::FontHandle(const Font& font) {
    const auto key = std::make_tuple(font.face, font.points, font.bold);
    auto it = fonts_.find(key);
    if (it != fonts_.end()) {
        return it->second;
    }
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(font.points, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    HFONT handle = CreateFontA(height, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                               FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                               DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, font.face.c_str());
    fonts_.emplace(key, handle);
    return handle;
}

}  // namespace quiver::ui::win32
