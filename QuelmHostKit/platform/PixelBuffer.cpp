#include "QuelmHostKit/platform/PixelBuffer.hpp"

namespace quelm {

PixelBuffer::PixelBuffer(int width, int height)
    : width_(width),
      height_(height),
      data_(static_cast<std::size_t>(width) * height +
            static_cast<std::size_t>((width + 1) / 2 * 2) * ((height + 1) / 2)) {}

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(int width, int height, std::size_t keep,
                                                       std::size_t limit) {
    return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(width, height, keep, limit));
}

PixelBufferRef PixelBufferPool::acquire() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(mutex_);
        if (limit_ != unlimited && outstanding_ >= limit_) {
            return nullptr;
        }
        ++outstanding_;
        if (!spare_.empty()) {
            buffer = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!buffer) {
        try {
            buffer = std::make_unique<PixelBuffer>(width_, height_);
        } catch (...) {
            std::lock_guard lock(mutex_);
            --outstanding_;
            throw;
        }
    }
    std::weak_ptr<PixelBufferPool> pool = weak_from_this();
    return PixelBufferRef(buffer.release(), [pool](PixelBuffer* released) {
        if (auto owner = pool.lock()) {
            owner->recycle(released);
        } else {
            delete released;
        }
    });
}

std::size_t PixelBufferPool::outstanding() const {
    std::lock_guard lock(mutex_);
    return outstanding_;
}

void PixelBufferPool::recycle(PixelBuffer* buffer) {
    std::unique_ptr<PixelBuffer> owned(buffer);
    std::lock_guard lock(mutex_);
    --outstanding_;
    if (spare_.size() < keep_) {
        spare_.push_back(std::move(owned));
    }
}

}  // namespace quelm
