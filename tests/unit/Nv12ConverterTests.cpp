#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "QuelmHostKit/streaming/Nv12Converter.hpp"

namespace quelm {
namespace {

struct Rgb {
    int r, g, b;
};

// A BGRX picture with `padding` spare bytes per row, filled with 0xFF to catch stride mistakes.
class Picture {
  public:
    Picture(int width, int height, int padding = 0)
        : width_(width),
          height_(height),
          stride_(width * 4 + padding),
          bytes_(static_cast<std::size_t>(stride_) * height, 0xFF) {}

    void set(int x, int y, Rgb colour) {
        std::uint8_t* p = &bytes_[static_cast<std::size_t>(y) * stride_ + 4 * x];
        p[0] = static_cast<std::uint8_t>(colour.b);
        p[1] = static_cast<std::uint8_t>(colour.g);
        p[2] = static_cast<std::uint8_t>(colour.r);
        p[3] = 0;
    }
    Rgb at(int x, int y) const {
        const std::uint8_t* p = &bytes_[static_cast<std::size_t>(y) * stride_ + 4 * x];
        return {p[2], p[1], p[0]};
    }
    void fill(Rgb colour) {
        for (int y = 0; y < height_; ++y) {
            for (int x = 0; x < width_; ++x) {
                set(x, y, colour);
            }
        }
    }
    BgraImage image() const { return {bytes_.data(), width_, height_, stride_}; }

  private:
    int width_, height_, stride_;
    std::vector<std::uint8_t> bytes_;
};

int lumaAt(const PixelBuffer& buffer, int x, int y) {
    return buffer.luma()[y * buffer.lumaStride() + x];
}
int cbAt(const PixelBuffer& buffer, int cx, int cy) {
    return buffer.chroma()[cy * buffer.chromaStride() + 2 * cx];
}
int crAt(const PixelBuffer& buffer, int cx, int cy) {
    return buffer.chroma()[cy * buffer.chromaStride() + 2 * cx + 1];
}

// BT.709 video range in floating point, the reference for the fixed-point converter.
struct YCbCr {
    double y, cb, cr;
};
YCbCr reference(double r, double g, double b) {
    const double kr = 0.2126, kb = 0.0722, kg = 1 - kr - kb;
    const double y = kr * r + kg * g + kb * b;
    return {16 + 219 * y / 255, 128 + 224 * (b - y) / (2 * (1 - kb)) / 255,
            128 + 224 * (r - y) / (2 * (1 - kr)) / 255};
}

TEST(Nv12Converter, UniformColoursBecomeTheirVideoRangeValuesAtAnySize) {
    struct Case {
        const char* name;
        Rgb colour;
        int y, cb, cr;
    };
    const Case colours[] = {
        {"white", {255, 255, 255}, 235, 128, 128}, {"black", {0, 0, 0}, 16, 128, 128},
        {"red", {255, 0, 0}, 63, 102, 240},        {"green", {0, 255, 0}, 173, 42, 26},
        {"blue", {0, 0, 255}, 32, 240, 118},       {"grey", {128, 128, 128}, 126, 128, 128},
    };
    struct Sizes {
        int sourceWidth, sourceHeight, width, height;
    };
    const Sizes sizes[] = {
        {8, 6, 8, 6},      // same size
        {5, 3, 5, 3},      // odd sides
        {40, 24, 30, 18},  // shrinking
        {3, 3, 7, 5},      // enlarging
    };
    Nv12Converter converter;
    for (const auto& size : sizes) {
        for (const auto& c : colours) {
            SCOPED_TRACE(::testing::Message()
                         << c.name << " " << size.sourceWidth << "x" << size.sourceHeight << " -> "
                         << size.width << "x" << size.height);
            Picture picture(size.sourceWidth, size.sourceHeight, 12);
            picture.fill(c.colour);
            PixelBuffer out(size.width, size.height);
            ASSERT_TRUE(converter.convert(picture.image(), out));
            for (int y = 0; y < size.height; ++y) {
                for (int x = 0; x < size.width; ++x) {
                    ASSERT_NEAR(lumaAt(out, x, y), c.y, 1) << x << "," << y;
                }
            }
            for (int cy = 0; cy < out.chromaHeight(); ++cy) {
                for (int cx = 0; cx < (size.width + 1) / 2; ++cx) {
                    ASSERT_NEAR(cbAt(out, cx, cy), c.cb, 1) << cx << "," << cy;
                    ASSERT_NEAR(crAt(out, cx, cy), c.cr, 1) << cx << "," << cy;
                }
            }
        }
    }
}

TEST(Nv12Converter, MatchesTheFloatingPointMatrixPixelByPixel) {
    // Widths of whole blocks of sixteen and thirty-two columns and more, with an odd last
    // column and row.
    const int sizes[][2] = {{16, 8}, {37, 7}, {53, 3}, {66, 4}};
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height);
        Picture picture(width, height, 8);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                picture.set(x, y, {byte(random), byte(random), byte(random)});
            }
        }
        PixelBuffer out(width, height);
        ASSERT_TRUE(Nv12Converter().convert(picture.image(), out));

        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                Rgb p = picture.at(x, y);
                EXPECT_NEAR(lumaAt(out, x, y), reference(p.r, p.g, p.b).y, 0.51) << x << "," << y;
            }
        }
        // Chroma is that of the mean colour of each 2x2 block; a last odd column or row pairs
        // with itself.
        for (int cy = 0; cy < (height + 1) / 2; ++cy) {
            for (int cx = 0; cx < (width + 1) / 2; ++cx) {
                double r = 0, g = 0, b = 0;
                for (int dy = 0; dy < 2; ++dy) {
                    for (int dx = 0; dx < 2; ++dx) {
                        Rgb p = picture.at(std::min(2 * cx + dx, width - 1),
                                           std::min(2 * cy + dy, height - 1));
                        r += p.r / 4.0;
                        g += p.g / 4.0;
                        b += p.b / 4.0;
                    }
                }
                YCbCr expected = reference(r, g, b);
                EXPECT_NEAR(cbAt(out, cx, cy), expected.cb, 0.51) << cx << "," << cy;
                EXPECT_NEAR(crAt(out, cx, cy), expected.cr, 0.51) << cx << "," << cy;
            }
        }
    }
}

// The scaling filter in floating point: a tent as wide as the scale when shrinking (one pixel
// when enlarging), centred on the output pixel, the picture's edge repeated beyond it.
std::vector<double> tentWeights(int sourceSize, int outputSize, int i) {
    const double scale = static_cast<double>(sourceSize) / outputSize;
    const double support = std::max(scale, 1.0);
    const double center = (i + 0.5) * scale - 0.5;
    std::vector<double> weights(sourceSize, 0.0);
    double total = 0;
    for (int j = static_cast<int>(std::floor(center - support));
         j <= static_cast<int>(std::ceil(center + support)); ++j) {
        double w = std::max(0.0, 1.0 - std::abs(j - center) / support);
        weights[std::clamp(j, 0, sourceSize - 1)] += w;
        total += w;
    }
    for (double& w : weights) {
        w /= total;
    }
    return weights;
}

TEST(Nv12Converter, ScaledLumaMatchesAFloatingPointTentFilter) {
    struct Sizes {
        int sourceWidth, sourceHeight, width, height;
    };
    // Widths whose rows are and are not multiples of 16 bytes; odd output sides.
    const Sizes sizes[] = {{22, 10, 15, 7}, {37, 21, 16, 9}, {9, 5, 20, 11}, {64, 4, 8, 2}};
    std::mt19937 random(11);
    std::uniform_int_distribution<int> byte(0, 255);
    Nv12Converter converter;
    for (const auto& size : sizes) {
        SCOPED_TRACE(::testing::Message() << size.sourceWidth << "x" << size.sourceHeight << " -> "
                                          << size.width << "x" << size.height);
        Picture picture(size.sourceWidth, size.sourceHeight, 8);
        for (int y = 0; y < size.sourceHeight; ++y) {
            for (int x = 0; x < size.sourceWidth; ++x) {
                picture.set(x, y, {byte(random), byte(random), byte(random)});
            }
        }
        PixelBuffer out(size.width, size.height);
        ASSERT_TRUE(converter.convert(picture.image(), out));

        for (int oy = 0; oy < size.height; ++oy) {
            auto wy = tentWeights(size.sourceHeight, size.height, oy);
            for (int ox = 0; ox < size.width; ++ox) {
                auto wx = tentWeights(size.sourceWidth, size.width, ox);
                double r = 0, g = 0, b = 0;
                for (int y = 0; y < size.sourceHeight; ++y) {
                    for (int x = 0; x < size.sourceWidth; ++x) {
                        const double w = wy[y] * wx[x];
                        Rgb p = picture.at(x, y);
                        r += w * p.r;
                        g += w * p.g;
                        b += w * p.b;
                    }
                }
                ASSERT_NEAR(lumaAt(out, ox, oy), reference(r, g, b).y, 1.5) << ox << "," << oy;
            }
        }
    }
}

TEST(Nv12Converter, ShrinkingAveragesFineDetailInsteadOfPickingPixels) {
    // One-pixel black and white stripes halved in width become grey, not black or white.
    Picture stripes(16, 4);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 16; ++x) {
            stripes.set(x, y, x % 2 ? Rgb{255, 255, 255} : Rgb{0, 0, 0});
        }
    }
    PixelBuffer out(8, 4);
    ASSERT_TRUE(Nv12Converter().convert(stripes.image(), out));
    for (int x = 1; x < 7; ++x) {  // the edges repeat their outer stripe
        EXPECT_NEAR(lumaAt(out, x, 1), 126, 2) << x;
    }
}

TEST(Nv12Converter, ScaledRampStaysMonotonicFromBlackToWhite) {
    const int width = 256, height = 4;
    Picture ramp(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            ramp.set(x, y, {x, x, x});
        }
    }
    PixelBuffer out(192, 2);
    ASSERT_TRUE(Nv12Converter().convert(ramp.image(), out));
    EXPECT_NEAR(lumaAt(out, 0, 0), 16, 1);
    EXPECT_NEAR(lumaAt(out, 191, 0), 235, 1);
    for (int x = 1; x < 192; ++x) {
        EXPECT_GE(lumaAt(out, x, 0), lumaAt(out, x - 1, 0)) << x;
        EXPECT_EQ(lumaAt(out, x, 1), lumaAt(out, x, 0)) << x;
    }
}

TEST(Nv12Converter, RefusesEmptyOrInconsistentPictures) {
    Picture picture(4, 4);
    picture.fill({255, 0, 0});
    BgraImage good = picture.image();
    BgraImage noPixels = good;
    noPixels.pixels = nullptr;
    BgraImage shortStride = good;
    shortStride.stride = 15;
    BgraImage noWidth = good;
    noWidth.width = 0;
    BgraImage negativeHeight = good;
    negativeHeight.height = -2;

    Nv12Converter converter;
    PixelBuffer out(4, 4);
    for (const BgraImage& bad : {noPixels, shortStride, noWidth, negativeHeight}) {
        EXPECT_FALSE(converter.convert(bad, out));
    }
    EXPECT_EQ(lumaAt(out, 0, 0), 0);  // untouched
    PixelBuffer empty(0, 0);
    EXPECT_FALSE(converter.convert(good, empty));
    EXPECT_TRUE(converter.convert(good, out));
    EXPECT_EQ(lumaAt(out, 0, 0), 63);
}

}  // namespace
}  // namespace quelm
