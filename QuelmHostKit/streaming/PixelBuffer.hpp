#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quelm {

// One captured picture in NV12: 4:2:0, a full-size luma plane and a half-size plane of
// interleaved Cb/Cr, video range, BT.709. Shared by reference on its way to the encoder and
// never copied; buffers come from a PixelBufferPool and go back to it when released.
class PixelBuffer {
  public:
    PixelBuffer(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    int lumaStride() const { return width_; }
    int chromaStride() const { return (width_ + 1) / 2 * 2; }
    int chromaHeight() const { return (height_ + 1) / 2; }

    std::uint8_t* luma() { return data_.data(); }
    const std::uint8_t* luma() const { return data_.data(); }
    std::uint8_t* chroma() { return data_.data() + lumaSize(); }
    const std::uint8_t* chroma() const { return data_.data() + lumaSize(); }

    // When the change this picture shows was first noticed, and when the screen was read for
    // it (monotonic seconds); 0 if unknown. For latency figures only.
    double changedAt() const { return changedAt_; }
    double grabbedAt() const { return grabbedAt_; }
    void setTimes(double changedAt, double grabbedAt) {
        changedAt_ = changedAt;
        grabbedAt_ = grabbedAt;
    }

  private:
    std::size_t lumaSize() const { return static_cast<std::size_t>(width_) * height_; }

    int width_;
    int height_;
    double changedAt_ = 0;
    double grabbedAt_ = 0;
    std::vector<std::uint8_t> data_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Recycles buffers of one size. Thread-safe. A released buffer returns to the pool while the
// pool lives and holds fewer than `keep` spare buffers; otherwise it is freed.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
  public:
    static std::shared_ptr<PixelBufferPool> make(int width, int height, std::size_t keep = 4);

    int width() const { return width_; }
    int height() const { return height_; }
    PixelBufferRef acquire();

  private:
    PixelBufferPool(int width, int height, std::size_t keep)
        : width_(width), height_(height), keep_(keep) {}
    void recycle(PixelBuffer* buffer);

    int width_;
    int height_;
    std::size_t keep_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<PixelBuffer>> spare_;
};

}  // namespace quelm
