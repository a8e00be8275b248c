#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quelm {

// When one picture passed each stage on its way from a screen change to the companion, in
// monotonic seconds; 0 for a stage not reached or not measured. For latency figures only.
struct FrameTimes {
    double changed = 0;      // the change it shows was first noticed
    double grabStarted = 0;  // the screen read began
    double grabbed = 0;      // the screen was read (cursor and blacked-out areas drawn)
    double converted = 0;    // scaled and converted to NV12
    double encodeIn = 0;     // handed to the encoder
    double encoded = 0;      // the encoder gave the frame back
    double sent = 0;         // handed to the server for the companion's socket
    friend bool operator==(const FrameTimes&, const FrameTimes&) = default;
};

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

    // The capture stages this picture went through; the later ones stay 0 here.
    const FrameTimes& times() const { return times_; }
    void setTimes(const FrameTimes& times) { times_ = times; }

  private:
    std::size_t lumaSize() const { return static_cast<std::size_t>(width_) * height_; }

    int width_;
    int height_;
    FrameTimes times_;
    std::vector<std::uint8_t> data_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Recycles buffers of one size. Thread-safe. A released buffer returns to the pool while the
// pool lives and holds fewer than `keep` spare buffers; otherwise it is freed. With a `limit`,
// no more than that many buffers are out at once: acquire() gives null until one comes back,
// so a consumer that falls behind holds a bounded amount of memory (a full-size picture is
// several megabytes).
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
  public:
    static constexpr std::size_t unlimited = 0;

    static std::shared_ptr<PixelBufferPool> make(int width, int height, std::size_t keep = 4,
                                                 std::size_t limit = unlimited);

    int width() const { return width_; }
    int height() const { return height_; }
    // A buffer, or null when `limit` buffers are out.
    PixelBufferRef acquire();
    std::size_t outstanding() const;

  private:
    PixelBufferPool(int width, int height, std::size_t keep, std::size_t limit)
        : width_(width), height_(height), keep_(keep), limit_(limit) {}
    void recycle(PixelBuffer* buffer);

    int width_;
    int height_;
    std::size_t keep_;
    std::size_t limit_;
    mutable std::mutex mutex_;
    std::size_t outstanding_ = 0;
    std::vector<std::unique_ptr<PixelBuffer>> spare_;
};

}  // namespace quelm
