#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "QuelmCore/Bytes.hpp"

namespace quelm {

// The file type of an opened image, as far as clipboard sharing cares.
enum class ImageFileType { png, jpeg, other };

// A decoded picture, ready to be encoded.
class Picture {
  public:
    virtual ~Picture() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
};

// One opened image file. Reads the bytes it was opened on, which must outlive it.
class ImageSource {
  public:
    virtual ~ImageSource() = default;
    virtual ImageFileType type() const = 0;
    // The first image's size as stored (before its orientation is applied); empty when the
    // file does not say.
    virtual std::optional<int> pixelWidth() const = 0;
    virtual std::optional<int> pixelHeight() const = 0;
    // The first image with its orientation applied, scaled down so that its longer side is at
    // most `maxPixelSize` (never enlarged); empty when it cannot be decoded.
    virtual std::unique_ptr<Picture> thumbnail(int maxPixelSize) = 0;
};

// Decodes and encodes images in memory. Thread-compatible: one call at a time per instance is
// enough; sources and pictures may be used on the thread that made them.
class ImageCodec {
  public:
    virtual ~ImageCodec() = default;
    // Empty when the bytes are not an image this codec reads.
    virtual std::unique_ptr<ImageSource> open(std::span<const std::uint8_t> data) = 0;
    // `quality` from 0 to 1. Transparent pixels are laid over white. Empty on failure.
    virtual std::optional<Bytes> encodeJPEG(const Picture& picture, double quality) = 0;
};

}  // namespace quelm
