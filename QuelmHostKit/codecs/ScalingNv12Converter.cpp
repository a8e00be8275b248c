#include "QuelmHostKit/codecs/ScalingNv12Converter.hpp"

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstddef>

namespace quelm {

bool ScalingNv12Converter::convert(const BgraImage& source, PixelBuffer& destination) {
    if (!source.pixels || source.width < 1 || source.height < 1 ||
        source.stride < source.width * 4 || destination.width() < 1 || destination.height() < 1) {
        return false;
    }
    if (source.width == destination.width() && source.height == destination.height()) {
        return converter_.convert(source, destination);
    }
    const int width = destination.width();
    const int height = destination.height();
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    // Strips small enough to stay in the cache between scaling and converting.
    scaled_.resize(rowBytes * stripRows);
    const bool shrinking = width <= source.width && height <= source.height;
    for (int y = 0; y < height; y += stripRows) {
        const int rows = std::min(stripRows, height - y);
        // The clip is written at its own position inside the destination it describes.
        std::uint8_t* origin = scaled_.data() - static_cast<std::ptrdiff_t>(rowBytes) * y;
        if (libyuv::ARGBScaleClip(source.pixels, source.stride, source.width, source.height, origin,
                                  static_cast<int>(rowBytes), width, height, 0, y, width, rows,
                                  shrinking ? libyuv::kFilterBox : libyuv::kFilterBilinear) != 0) {
            return false;
        }
        for (int row = 0; row < rows; row += 2) {
            const std::uint8_t* top = scaled_.data() + rowBytes * static_cast<std::size_t>(row);
            const std::uint8_t* bottom = row + 1 < rows ? top + rowBytes : top;
            Nv12Converter::convertRows(top, bottom, y + row, destination);
        }
    }
    return true;
}

}  // namespace quelm
