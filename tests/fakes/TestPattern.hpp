#pragma once

#include <cstdint>

namespace quelm::test {

// The picture the Wayland test client shows, as 0xRRGGBB at (x, y) of a width x height
// window: eight colour bars over the top half, a grey ramp below.
inline std::uint32_t testPatternPixel(int x, int y, int width, int height) {
    static const std::uint32_t bars[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                         0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
    if (y < height / 2) {
        return bars[x * 8 / width];
    }
    const auto grey = static_cast<std::uint32_t>(x * 255 / (width - 1));
    return grey << 16 | grey << 8 | grey;
}

// Luma in BT.709 video range, as the stream carries it.
inline double videoLuma(std::uint32_t rgb) {
    const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    return 16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255;
}

}  // namespace quelm::test
