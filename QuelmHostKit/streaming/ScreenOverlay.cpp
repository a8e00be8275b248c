#include "QuelmHostKit/streaming/ScreenOverlay.hpp"

#include <algorithm>
#include <cstring>

namespace quelm::ScreenOverlay {

namespace {

struct Span {
    int begin = 0;
    int end = 0;
    bool empty() const { return end <= begin; }
};

// [start, start + length) within [0, limit), computed in 64 bits so huge rectangles cannot wrap.
Span clip(long long start, long long length, int limit) {
    long long begin = std::max<long long>(start, 0);
    long long end = std::min<long long>(start + std::max<long long>(length, 0), limit);
    return {static_cast<int>(begin), static_cast<int>(std::max(begin, end))};
}

}  // namespace

void drawCursor(WritableBgraImage picture, const CursorImage& cursor, int x, int y) {
    if (!picture.pixels || cursor.width < 1 || cursor.height < 1 ||
        cursor.argb.size() < static_cast<std::size_t>(cursor.width) * cursor.height) {
        return;
    }
    const long long left = static_cast<long long>(x) - cursor.hotX;
    const long long top = static_cast<long long>(y) - cursor.hotY;
    const Span columns = clip(left, cursor.width, picture.width);
    const Span rows = clip(top, cursor.height, picture.height);
    if (columns.empty() || rows.empty()) {
        return;
    }
    for (int row = rows.begin; row < rows.end; ++row) {
        const std::uint32_t* source =
            cursor.argb.data() + static_cast<std::size_t>(row - top) * cursor.width;
        std::uint8_t* out = picture.pixels + static_cast<std::size_t>(row) * picture.stride;
        for (int column = columns.begin; column < columns.end; ++column) {
            const std::uint32_t pixel = source[column - left];
            const unsigned alpha = pixel >> 24;
            if (alpha == 0) {
                continue;
            }
            std::uint8_t* target = out + static_cast<std::size_t>(column) * 4;
            const unsigned keep = 255 - alpha;
            // Premultiplied: source + target * (1 - alpha), rounded.
            for (int channel = 0; channel < 3; ++channel) {
                const unsigned from = (pixel >> (8 * channel)) & 0xFF;
                const unsigned blended = from + (target[channel] * keep + 127) / 255;
                target[channel] = static_cast<std::uint8_t>(std::min(blended, 255U));
            }
        }
    }
}

void blackOut(WritableBgraImage picture, int x, int y, int width, int height) {
    if (!picture.pixels) {
        return;
    }
    const Span columns = clip(x, width, picture.width);
    const Span rows = clip(y, height, picture.height);
    if (columns.empty() || rows.empty()) {
        return;
    }
    for (int row = rows.begin; row < rows.end; ++row) {
        std::memset(picture.pixels + static_cast<std::size_t>(row) * picture.stride +
                        static_cast<std::size_t>(columns.begin) * 4,
                    0, static_cast<std::size_t>(columns.end - columns.begin) * 4);
    }
}

}  // namespace quelm::ScreenOverlay
