#pragma once

#include <cstdint>
#include <vector>

namespace quelm {

// A captured picture that may be drawn on: bytes B, G, R, X per pixel, rows `stride` apart.
struct WritableBgraImage {
    std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

// The pointer's picture: premultiplied ARGB words (alpha in the top byte), row by row.
struct CursorImage {
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    std::vector<std::uint32_t> argb;
};

// What capture draws onto a grabbed picture before it is scaled: the pointer, and black over
// the rectangles that must never be captured. Everything is clipped to the picture.
namespace ScreenOverlay {

// Blends the cursor so that its hot spot lands on (x, y), in picture pixels.
void drawCursor(WritableBgraImage picture, const CursorImage& cursor, int x, int y);
// Fills the rectangle at (x, y) of this size with black.
void blackOut(WritableBgraImage picture, int x, int y, int width, int height);

}  // namespace ScreenOverlay

}  // namespace quelm
