#include "QuelmCore/ClipImage.hpp"

#include <algorithm>

namespace quelm::ClipImage {

std::vector<ClipChunk> chunks(std::span<const std::uint8_t> data, ClipImageFormat format,
                              std::uint32_t transfer) {
    if (data.empty() || data.size() > maxBytes) {
        return {};
    }
    const std::size_t n = (data.size() + ClipChunk::payloadBytes - 1) / ClipChunk::payloadBytes;
    std::vector<ClipChunk> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto piece = data.subspan(
            i * ClipChunk::payloadBytes,
            std::min(ClipChunk::payloadBytes, data.size() - i * ClipChunk::payloadBytes));
        out.push_back(ClipChunk{transfer, static_cast<std::uint16_t>(i),
                                static_cast<std::uint16_t>(n), format,
                                Bytes(piece.begin(), piece.end())});
    }
    return out;
}

}  // namespace quelm::ClipImage
