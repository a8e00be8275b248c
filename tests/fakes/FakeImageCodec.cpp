#include "tests/fakes/FakeImageCodec.hpp"

#include <algorithm>

namespace quelm::test {

namespace {

class FakePicture final : public Picture {
  public:
    explicit FakePicture(int edge) : edge_(edge) {}
    int width() const override { return edge_; }
    int height() const override { return edge_; }

  private:
    int edge_;
};

class FakeSource final : public ImageSource {
  public:
    explicit FakeSource(FakeImageCodec& codec) : codec_(codec) {}
    ImageFileType type() const override { return codec_.type; }
    std::optional<int> pixelWidth() const override { return codec_.width; }
    std::optional<int> pixelHeight() const override { return codec_.height; }
    std::unique_ptr<Picture> thumbnail(int maxPixelSize) override {
        codec_.thumbnailEdges.push_back(maxPixelSize);
        const auto& failing = codec_.failingEdges;
        if (std::find(failing.begin(), failing.end(), maxPixelSize) != failing.end()) {
            return nullptr;
        }
        return std::make_unique<FakePicture>(maxPixelSize);
    }

  private:
    FakeImageCodec& codec_;
};

}  // namespace

std::unique_ptr<ImageSource> FakeImageCodec::open(std::span<const std::uint8_t>) {
    ++opened;
    if (!opens) {
        return nullptr;
    }
    return std::make_unique<FakeSource>(*this);
}

std::optional<Bytes> FakeImageCodec::encodeJPEG(const Picture& picture, double quality) {
    lastQuality = quality;
    auto size = jpegBytes(picture.width());
    if (!size) {
        return std::nullopt;
    }
    return Bytes(*size, 0xAB);
}

}  // namespace quelm::test
