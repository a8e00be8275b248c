#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "QuelmHostKit/codecs/ScrollDetector.hpp"

namespace quelm {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 720;

std::uint8_t glyph(int x, int y) {
    std::uint32_t h = unsigned(x / 8) * 2654435761u ^ unsigned(y / 14) * 40503u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    const bool ink = (h & 3) != 0 && y % 14 >= 2 && y % 14 < 12 && x % 8 < 6 &&
                     ((h >> ((x % 8 + 3 * (y % 14)) % 32)) & 1) != 0;
    return ink ? 30 : 230;
}

// A screen: a still frame of text around a terminal (x 64..575, y 40..679) whose text is line
// `top` of an endless page. Outside the terminal the screen never changes.
std::vector<std::uint8_t> screen(int top, int stride = kWidth) {
    std::vector<std::uint8_t> luma(std::size_t(stride) * kHeight, 0);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const bool inTerminal = x >= 64 && x < 576 && y >= 40 && y < 680;
            luma[std::size_t(y) * stride + x] =
                inTerminal ? glyph(x, y - 40 + top) : glyph(x + 1000, y);
        }
    }
    return luma;
}

std::optional<int> after(const std::vector<std::uint8_t>& first,
                         const std::vector<std::uint8_t>& second, int stride = kWidth) {
    ScrollDetector detector;
    EXPECT_EQ(detector.observe(first.data(), stride, kWidth, kHeight), std::nullopt);
    return detector.observe(second.data(), stride, kWidth, kHeight);
}

TEST(ScrollDetector, FindsHowFarATerminalScrolled) {
    // Content moving up (new lines at the bottom) is a negative shift.
    const struct {
        int from, to;
        std::optional<int> shift;
    } cases[] = {
        {0, 28, -28},
        {0, 1, -1},
        {100, 36, 64},
        {0, 180, -180},  // ten lines of a fast scroll between two frames on a slow link
        {0, ScrollDetector::kMaxShift, -ScrollDetector::kMaxShift},
        {0, 14, -14},
        {0, 0, std::nullopt},                              // nothing changed
        {0, ScrollDetector::kMaxShift + 1, std::nullopt},  // further than it looks
    };
    for (const auto& c : cases) {
        EXPECT_EQ(after(screen(c.from), screen(c.to)), c.shift) << c.from << " -> " << c.to;
    }
}

TEST(ScrollDetector, RowsWiderThanThePictureAreRead) {
    constexpr int kStride = kWidth + 32;
    EXPECT_EQ(after(screen(0, kStride), screen(20, kStride), kStride), -20);
}

TEST(ScrollDetector, NewContentOrAFlatChangeIsNoScroll) {
    auto noise = screen(0);
    std::uint32_t state = 1;
    for (auto& value : noise) {
        state = state * 1664525u + 1013904223u;
        value = static_cast<std::uint8_t>(state >> 24);
    }
    EXPECT_EQ(after(screen(0), noise), std::nullopt);

    // A window turning from one flat colour to another matches itself at every shift.
    std::vector<std::uint8_t> dark(std::size_t(kWidth) * kHeight, 20);
    std::vector<std::uint8_t> light(std::size_t(kWidth) * kHeight, 200);
    EXPECT_EQ(after(dark, light), std::nullopt);

    // A small scrolled strip beside a large new picture is not what the frame is about.
    auto mixed = noise;
    const auto scrolled = screen(30);
    std::copy_n(scrolled.begin() + 100 * kWidth, 20 * kWidth, mixed.begin() + 100 * kWidth);
    EXPECT_EQ(after(screen(0), mixed), std::nullopt);
}

TEST(ScrollDetector, APictureOfAnotherSizeStartsAfresh) {
    ScrollDetector detector;
    const auto first = screen(0);
    const auto second = screen(20);
    detector.observe(first.data(), kWidth, kWidth, kHeight);
    EXPECT_EQ(detector.observe(second.data(), kWidth, kWidth - 64, kHeight), std::nullopt);
    EXPECT_EQ(detector.observe(first.data(), kWidth, kWidth, kHeight), std::nullopt);
    EXPECT_EQ(detector.observe(second.data(), kWidth, kWidth, kHeight), -20);
    EXPECT_EQ(detector.observe(nullptr, kWidth, kWidth, kHeight), std::nullopt);
    EXPECT_EQ(detector.observe(first.data(), kWidth, kWidth, kHeight), std::nullopt);
}

}  // namespace
}  // namespace quelm
