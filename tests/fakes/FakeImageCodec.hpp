#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "QuelmHostKit/platform/ImageCodec.hpp"

namespace quelm::test {

// An image codec that decodes nothing: each opened source reports the scripted type and size,
// thumbnails are as large as asked, and a JPEG's byte size comes from `jpegBytes(edge)`.
// Records the thumbnail sizes asked for.
class FakeImageCodec final : public ImageCodec {
  public:
    bool opens = true;
    ImageFileType type = ImageFileType::other;
    std::optional<int> width = 1000;
    std::optional<int> height = 800;
    // Size of the JPEG for a thumbnail whose longer side is `edge`; empty: encoding fails.
    std::function<std::optional<std::size_t>(int edge)> jpegBytes = [](int edge) {
        return std::optional<std::size_t>(static_cast<std::size_t>(edge));
    };
    // Thumbnails fail for these sizes.
    std::vector<int> failingEdges;

    std::vector<int> thumbnailEdges;
    int opened = 0;

    std::unique_ptr<ImageSource> open(std::span<const std::uint8_t> data) override;
    std::optional<Bytes> encodeJPEG(const Picture& picture, double quality) override;
    double lastQuality = 0;
};

}  // namespace quelm::test
