#pragma once

#include <cstdint>
#include <vector>

#include "QuelmHostKit/platform/PixelBuffer.hpp"

namespace quelm {

// A captured 32-bit picture as X11 hands it out (ZPixmap, little-endian): bytes B, G, R and
// one unused byte per pixel, rows `stride` bytes apart.
struct BgraImage {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

// Converts BGRA pictures into NV12 with the BT.709 matrix in video range (Y 16-235, Cb/Cr
// 16-240), scaling them to the destination's size when it differs from the source's (a tent
// filter: area-like when shrinking, bilinear when enlarging). Chroma is the mean of each 2x2
// block. Fixed-point arithmetic with SSE2 where it pays; bench/Nv12ConverterBench compares it
// with swscale doing the same job.
//
// Thread: one converter per thread; it keeps its scaling tables and row buffers between calls
// so that converting a stream of same-size pictures allocates nothing.
class Nv12Converter {
  public:
    // Fills `destination` from `source`. False, leaving `destination` untouched, when the source
    // is empty, its stride is shorter than a row, or the destination is empty.
    bool convert(const BgraImage& source, PixelBuffer& destination);
    // Converts two BGRA rows of the destination's width into its rows `y` (even) and `y` + 1;
    // `bottom` may equal `top` for a last, unpaired row. For callers that scale by strips.
    static void convertRows(const std::uint8_t* top, const std::uint8_t* bottom, int y,
                            PixelBuffer& destination);

  private:
    // For each output position: the first source position it reads and its weights (in units of
    // 1/16384), `taps` of them (an even number), zero-padded.
    struct Filter {
        int sourceSize = 0;
        int outputSize = 0;
        int taps = 0;
        // Positions read, padding taps (weight zero) past the picture's end included.
        int reach = 0;
        std::vector<int> first;
        std::vector<std::int16_t> weights;
    };

    static Filter makeFilter(int sourceSize, int outputSize);
    // Scales source row set `outputRow` into `row` (BGRX, the destination's width).
    void scaleRow(const BgraImage& source, int outputRow, std::uint8_t* row);

    Filter horizontal_;
    Filter vertical_;
    std::vector<const std::uint8_t*> lines_;
    std::vector<std::int16_t> columnSums_;
    std::vector<std::uint8_t> rows_;
};

}  // namespace quelm
