#pragma once

#include <cstdint>

#include "QuelmHostKit/platform/ImageCodec.hpp"

namespace quelm {

// Decodes through gdk-pixbuf's loaders (PNG, JPEG, TIFF, BMP, GIF, HEIF through its loader,
// ...) and encodes JPEG through its saver. Opening reads the header only and decodes no pixel:
// the loader is stopped once it knows the size, and a picture beyond the pixel limit is
// refused there. A thumbnail asks the loader for the reduced size, so JPEG decodes straight at
// a fraction of its size (other loaders decode whole and scale). Stateless: any thread.
class GdkPixbufImageCodec final : public ImageCodec {
  public:
    // Larger pictures are refused rather than decoded: 100 megapixels is 400 MB decoded.
    static constexpr std::int64_t maxPixels = 100'000'000;

    std::unique_ptr<ImageSource> open(std::span<const std::uint8_t> data) override;
    std::optional<Bytes> encodeJPEG(const Picture& picture, double quality) override;
};

}  // namespace quelm
