#include "QuelmHostKit/linux/wayland/wlr/WlrScreencopy.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "QuelmHostKit/linux/wayland/wlr/WaylandConnection.hpp"
#include "wlr-screencopy-unstable-v1-client.h"

namespace quelm {

ShmPixels::~ShmPixels() {
    munmap(data, size);
}

WlrScreencopy::WlrScreencopy(std::shared_ptr<WaylandConnection> connection, wl_output* output,
                             ShotHandler onShot, FailureHandler onFailure)
    : connection_(std::move(connection)),
      output_(output),
      onShot_(std::move(onShot)),
      onFailure_(std::move(onFailure)) {}

WlrScreencopy::~WlrScreencopy() {
    cancel();
    releaseBuffer();
}

void WlrScreencopy::request(bool withDamage) {
    cancel();
    const auto& globals = connection_->globals();
    if (!globals.screencopy || connection_->isLost()) {
        fail("the compositor offers no screen copies");
        return;
    }
    withDamage_ = withDamage && globals.screencopyVersion >= 2;
    formatOffered_ = false;
    yInverted_ = false;
    frame_ = zwlr_screencopy_manager_v1_capture_output(globals.screencopy, 1, output_);
    static const zwlr_screencopy_frame_v1_listener listener = {
        onBuffer,
        onFlags,
        onReady,
        onFailed,
        [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t,
           std::uint32_t) {},
        [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {},
        onBufferDone,
    };
    zwlr_screencopy_frame_v1_add_listener(frame_, &listener, this);
    connection_->flush();
}

void WlrScreencopy::cancel() {
    if (frame_) {
        zwlr_screencopy_frame_v1_destroy(frame_);
        frame_ = nullptr;
    }
}

void WlrScreencopy::onBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                             std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
    auto* self = static_cast<WlrScreencopy*>(data);
    // Blue, green, red, then padding or alpha in memory: what the converter reads.
    if (format != WL_SHM_FORMAT_XRGB8888 && format != WL_SHM_FORMAT_ARGB8888) {
        return;
    }
    if (self->formatOffered_ && self->format_ == WL_SHM_FORMAT_XRGB8888) {
        return;
    }
    self->formatOffered_ = true;
    self->format_ = format;
    self->width_ = static_cast<int>(width);
    self->height_ = static_cast<int>(height);
    self->stride_ = static_cast<int>(stride);
    // Before version 3 the buffer events are all there is.
    if (self->connection_->globals().screencopyVersion < 3) {
        self->copy();
    }
}

void WlrScreencopy::onBufferDone(void* data, zwlr_screencopy_frame_v1*) {
    static_cast<WlrScreencopy*>(data)->copy();
}

void WlrScreencopy::copy() {
    if (!frame_) {
        return;
    }
    if (!formatOffered_) {
        fail("the compositor offers no 32-bit shared-memory copy");
        return;
    }
    if (!ensureBuffer()) {
        fail("no shared memory for the screen copy");
        return;
    }
    if (withDamage_) {
        zwlr_screencopy_frame_v1_copy_with_damage(frame_, buffer_);
    } else {
        zwlr_screencopy_frame_v1_copy(frame_, buffer_);
    }
    connection_->flush();
}

bool WlrScreencopy::ensureBuffer() {
    if (buffer_ && bufferFormat_ == format_ && bufferWidth_ == width_ && bufferHeight_ == height_ &&
        bufferStride_ == stride_) {
        return true;
    }
    releaseBuffer();
    const auto size = static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height_);
    if (size == 0 || !connection_->globals().shm) {
        return false;
    }
    const int fd = memfd_create("quelmix-screencopy", MFD_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    void* data = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
        data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (data == MAP_FAILED) {
        close(fd);
        return false;
    }
    wl_shm_pool* pool =
        wl_shm_create_pool(connection_->globals().shm, fd, static_cast<std::int32_t>(size));
    buffer_ = wl_shm_pool_create_buffer(pool, 0, width_, height_, stride_, format_);
    wl_shm_pool_destroy(pool);
    close(fd);
    pixels_ = std::make_shared<ShmPixels>(data, size);
    bufferFormat_ = format_;
    bufferWidth_ = width_;
    bufferHeight_ = height_;
    bufferStride_ = stride_;
    return buffer_ != nullptr;
}

void WlrScreencopy::releaseBuffer() {
    if (buffer_) {
        wl_buffer_destroy(buffer_);
        buffer_ = nullptr;
    }
    // Shots handed out keep their mapping until they are done with it.
    pixels_.reset();
}

void WlrScreencopy::onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
    static_cast<WlrScreencopy*>(data)->yInverted_ =
        (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}

void WlrScreencopy::onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t secondsHigh,
                            std::uint32_t secondsLow, std::uint32_t nanoseconds) {
    auto* self = static_cast<WlrScreencopy*>(data);
    self->cancel();
    ScreencopyShot shot;
    shot.pixels = self->pixels_;
    shot.width = self->bufferWidth_;
    shot.height = self->bufferHeight_;
    shot.stride = self->bufferStride_;
    shot.yInverted = self->yInverted_;
    const double seconds =
        static_cast<double>((static_cast<std::uint64_t>(secondsHigh) << 32) | secondsLow);
    shot.presentedAt = seconds + nanoseconds * 1e-9;
    if (self->onShot_) {
        self->onShot_(std::move(shot));
    }
}

void WlrScreencopy::onFailed(void* data, zwlr_screencopy_frame_v1*) {
    static_cast<WlrScreencopy*>(data)->fail("the compositor could not copy the output");
}

void WlrScreencopy::fail(std::string why) {
    cancel();
    if (onFailure_) {
        onFailure_(std::move(why));
    }
}

}  // namespace quelm
