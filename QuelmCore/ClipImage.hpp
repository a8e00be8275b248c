#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/ClipChunk.hpp"
#include "QuelmCore/ClipImageFormat.hpp"

namespace quelm {

// A whole clipboard image in one of the formats that travel.
struct ClipImageData {
    Bytes data;
    ClipImageFormat format = ClipImageFormat::png;

    friend bool operator==(const ClipImageData&, const ClipImageData&) = default;
};

namespace ClipImage {

// The largest image, in bytes, that is prepared, cut into chunks or reassembled:
// ClipChunk::maxCount chunks of ClipChunk::payloadBytes.
inline constexpr std::size_t maxBytes = 10485760;
static_assert(maxBytes == ClipChunk::maxCount * ClipChunk::payloadBytes);

// The chunks of one image in index order, each but the last carrying payloadBytes; none when
// the data is empty or larger than maxBytes.
std::vector<ClipChunk> chunks(std::span<const std::uint8_t> data, ClipImageFormat format,
                              std::uint32_t transfer);

}  // namespace ClipImage

}  // namespace quelm
