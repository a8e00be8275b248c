#include "QuelmCore/ClipAssembler.hpp"

namespace quelm {

std::optional<ClipImageData> ClipAssembler::add(ClipChunk chunk) {
    // The wire decoder never delivers these, but a chunk built in code could.
    if (chunk.index >= chunk.count || chunk.count > ClipChunk::maxCount || chunk.payload.empty()) {
        return std::nullopt;
    }
    if (!transfer_ || *transfer_ != chunk.transfer || chunk.count != pieces_.size()) {
        transfer_ = chunk.transfer;
        format_ = chunk.format;
        pieces_.assign(chunk.count, std::nullopt);
        received_ = 0;
        bytes_ = 0;
    }
    auto& slot = pieces_[chunk.index];
    if (slot) {
        return std::nullopt;  // the first copy is kept
    }
    if (bytes_ + chunk.payload.size() > ClipImage::maxBytes) {
        return std::nullopt;
    }
    bytes_ += chunk.payload.size();
    ++received_;
    slot = std::move(chunk.payload);
    if (received_ < pieces_.size()) {
        return std::nullopt;
    }

    ClipImageData image{{}, format_};
    image.data.reserve(bytes_);
    for (const auto& piece : pieces_) {
        image.data.insert(image.data.end(), piece->begin(), piece->end());
    }
    transfer_.reset();
    pieces_.clear();
    received_ = 0;
    bytes_ = 0;
    return image;
}

}  // namespace quelm
