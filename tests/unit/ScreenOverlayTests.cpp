#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "QuelmHostKit/streaming/ScreenOverlay.hpp"

namespace quelm {
namespace {

// A small grey picture with a guard band after each row, so writes past a row's end show.
struct Picture {
    static constexpr int width = 8;
    static constexpr int height = 6;
    static constexpr int stride = width * 4 + 8;
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(stride * height, 100);

    WritableBgraImage image() { return {bytes.data(), width, height, stride}; }
    const std::uint8_t* at(int x, int y) const { return bytes.data() + y * stride + x * 4; }
    bool guardsIntact() const {
        for (int y = 0; y < height; ++y) {
            for (int i = width * 4; i < stride; ++i) {
                if (bytes[y * stride + i] != 100) {
                    return false;
                }
            }
        }
        return true;
    }
    int blackPixels() const {
        int count = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                count += at(x, y)[0] == 0 && at(x, y)[1] == 0 && at(x, y)[2] == 0;
            }
        }
        return count;
    }
};

TEST(ScreenOverlay, BlackOutIsClippedToThePicture) {
    struct Case {
        const char* name;
        int x, y, width, height;
        int black;
    };
    for (const auto& c : std::vector<Case>{{"inside", 1, 1, 3, 2, 6},
                                           {"over the top left corner", -2, -3, 4, 5, 4},
                                           {"over the bottom right corner", 6, 4, 10, 10, 4},
                                           {"whole picture and more", -100, -100, 1000, 1000, 48},
                                           {"outside", 20, 0, 4, 4, 0},
                                           {"negative size", 2, 2, -3, 4, 0},
                                           {"huge", 0x7FFFFFF0, 0x7FFFFFF0, 0x7FFFFFFF, 5, 0}}) {
        SCOPED_TRACE(c.name);
        Picture picture;
        ScreenOverlay::blackOut(picture.image(), c.x, c.y, c.width, c.height);
        EXPECT_EQ(picture.blackPixels(), c.black);
        EXPECT_TRUE(picture.guardsIntact());
    }
}

TEST(ScreenOverlay, CursorLandsOnItsHotSpotBlendedAndClipped) {
    // 3x3 cursor: an opaque white centre, a half-transparent black ring (premultiplied), hot
    // spot in the middle.
    CursorImage cursor{3, 3, 1, 1, std::vector<std::uint32_t>(9, 0x80000000U)};
    cursor.argb[4] = 0xFFFFFFFFU;

    Picture picture;
    ScreenOverlay::drawCursor(picture.image(), cursor, 4, 2);
    EXPECT_EQ(picture.at(4, 2)[0], 255);
    EXPECT_EQ(picture.at(4, 2)[2], 255);
    // 100 * (255 - 128) / 255, rounded.
    EXPECT_EQ(picture.at(3, 1)[1], 50);
    EXPECT_EQ(picture.at(5, 3)[1], 50);
    EXPECT_EQ(picture.at(6, 2)[1], 100);

    // Hot spot on the last column and row: only the top-left quarter of the cursor shows.
    Picture corner;
    ScreenOverlay::drawCursor(corner.image(), cursor, 7, 5);
    EXPECT_EQ(corner.at(7, 5)[0], 255);
    EXPECT_EQ(corner.at(6, 4)[0], 50);
    EXPECT_TRUE(corner.guardsIntact());

    // Entirely off the picture, and a cursor with too few pixels: nothing is drawn.
    Picture untouched;
    ScreenOverlay::drawCursor(untouched.image(), cursor, -5, 2);
    ScreenOverlay::drawCursor(untouched.image(), CursorImage{4, 4, 0, 0, {0xFFFFFFFFU}}, 2, 2);
    EXPECT_EQ(untouched.at(0, 2)[0], 100);
    EXPECT_EQ(untouched.at(2, 2)[0], 100);
}

}  // namespace
}  // namespace quelm
