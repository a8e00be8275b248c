#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "QuelmCore/ClipImage.hpp"
#include "QuelmHostKit/platform/ImageCodec.hpp"

namespace quelm::ClipImage {

inline constexpr double jpegQuality = 0.85;

// The image as PNG or JPEG of at most `maxBytes` bytes, or none. PNG and JPEG files within the
// limit pass untouched, without decoding; anything else, and anything over the limit, becomes
// a JPEG, shrunk by quarters from its longer side until it fits. Blocks while decoding: run it
// off the main and server queues.
std::optional<ClipImageData> prepare(std::span<const std::uint8_t> data, std::size_t maxBytes,
                                     ImageCodec& codec);

}  // namespace quelm::ClipImage
