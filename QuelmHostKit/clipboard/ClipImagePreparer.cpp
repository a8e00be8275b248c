#include "QuelmHostKit/clipboard/ClipImagePreparer.hpp"

#include <algorithm>
#include <cstdint>

namespace quelm::ClipImage {

namespace {

// A size the file does not give is taken as large, so the loop starts from the top.
constexpr int kUnknownEdge = 4096;
// Pictures whose longer side is this or less are not worth sending once re-encoded.
constexpr int kSmallestEdge = 255;

}  // namespace

std::optional<ClipImageData> prepare(std::span<const std::uint8_t> data, std::size_t maxBytes,
                                     ImageCodec& codec) {
    auto source = codec.open(data);
    if (!source) {
        return std::nullopt;
    }
    if (data.size() <= maxBytes) {
        if (source->type() == ImageFileType::png) {
            return ClipImageData{Bytes(data.begin(), data.end()), ClipImageFormat::png};
        }
        if (source->type() == ImageFileType::jpeg) {
            return ClipImageData{Bytes(data.begin(), data.end()), ClipImageFormat::jpeg};
        }
    }
    // 64 bits, so that edge * 3 cannot overflow for any size a file claims.
    std::int64_t edge = std::max(source->pixelWidth().value_or(kUnknownEdge),
                                 source->pixelHeight().value_or(kUnknownEdge));
    if (edge <= kSmallestEdge) {
        return std::nullopt;
    }
    while (true) {
        if (auto picture = source->thumbnail(static_cast<int>(edge))) {
            auto jpeg = codec.encodeJPEG(*picture, jpegQuality);
            if (jpeg && jpeg->size() <= maxBytes) {
                return ClipImageData{std::move(*jpeg), ClipImageFormat::jpeg};
            }
        }
        if (edge * 3 <= 1023) {
            return std::nullopt;
        }
        edge = edge * 3 / 4;
    }
}

}  // namespace quelm::ClipImage
