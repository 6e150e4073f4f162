// The pictures of the Update button: a green arrow pointing down into a chip, and the same in
// greys for the disabled button.
#include "app/frm_quiver.h"

namespace quiver {

namespace {

constexpr int kSize = 18;

ui::Picture Draw(std::uint32_t arrow, std::uint32_t chip, std::uint32_t pins) {
    ui::Picture p{kSize, kSize, std::vector<std::uint32_t>(kSize * kSize, 0x00000000u)};
    auto put = [&](int x, int y, std::uint32_t c) {
        if (x >= 0 && x < kSize && y >= 0 && y < kSize) {
            p.pixels[static_cast<std::size_t>(y * kSize + x)] = c;
        }
    };
    // The arrow: a shaft and a head.
    for (int y = 1; y <= 6; ++y) {
        for (int x = 7; x <= 10; ++x)
            put(x, y, arrow);
    }
    for (int row = 0; row < 5; ++row) {
        for (int x = 4 + row; x <= 13 - row; ++x)
            put(x, 7 + row, arrow);
    }
    // The chip, with its pins.
    for (int y = 12; y <= 16; ++y) {
        for (int x = 3; x <= 14; ++x)
            put(x, y, chip);
    }
    for (int x = 4; x <= 13; x += 3) {
        put(x, 11, pins);
        put(x, 17, pins);
    }
    return p;
}

}  // namespace

ui::Picture UpdatePicture() {
    return Draw(0xFF1E9E3Cu, 0xFF303030u, 0xFFB0B0B0u);
}

ui::Picture UpdatePictureDisabled() {
    return Draw(0xFFA0A0A0u, 0xFF808080u, 0xFFC8C8C8u);
}

}  // namespace quiver
