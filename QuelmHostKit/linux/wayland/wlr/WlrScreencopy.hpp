#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct wl_buffer;
struct wl_output;
struct zwlr_screencopy_frame_v1;

namespace quelm {

class WaylandConnection;

// One shared-memory copy of an output's pixels, kept mapped while anyone holds it.
struct ShmPixels {
    ShmPixels(void* data, std::size_t size) : data(data), size(size) {}
    ~ShmPixels();
    ShmPixels(const ShmPixels&) = delete;
    ShmPixels& operator=(const ShmPixels&) = delete;
    void* data;
    std::size_t size;
};

// A picture the compositor copied: 32-bit pixels, blue first in memory (XRGB8888/ARGB8888).
struct ScreencopyShot {
    std::shared_ptr<const ShmPixels> pixels;
    int width = 0;
    int height = 0;
    int stride = 0;
    // Rows arrive bottom first.
    bool yInverted = false;
    // When the compositor presented the picture (monotonic seconds).
    double presentedAt = 0;
};

// The event-thread half of a screencopy stream: frame objects of wlr-screencopy and one
// shared-memory buffer they copy into, recreated when the output's size changes. The cursor
// is composited by the compositor (overlay_cursor), so what arrives is what the user sees.
//
// A request with damage is answered only once the output changed (copy_with_damage, protocol
// version 2 and later): a still screen costs nothing. The pixels of a shot stay untouched
// until the next request; the owner asks again only once it has read them.
//
// Thread: created, used and destroyed on the connection's event thread.
class WlrScreencopy : public std::enable_shared_from_this<WlrScreencopy> {
  public:
    using ShotHandler = std::function<void(ScreencopyShot)>;
    using FailureHandler = std::function<void(std::string)>;

    WlrScreencopy(std::shared_ptr<WaylandConnection> connection, wl_output* output,
                  ShotHandler onShot, FailureHandler onFailure);
    ~WlrScreencopy();
    WlrScreencopy(const WlrScreencopy&) = delete;
    WlrScreencopy& operator=(const WlrScreencopy&) = delete;

    // Asks for the next picture: at once, or (when `withDamage` and the compositor can) after
    // the next change. A request still outstanding is cancelled.
    void request(bool withDamage);
    void cancel();

  private:
    static void onBuffer(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format,
                         std::uint32_t width, std::uint32_t height, std::uint32_t stride);
    static void onFlags(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t flags);
    static void onReady(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t secondsHigh,
                        std::uint32_t secondsLow, std::uint32_t nanoseconds);
    static void onFailed(void* data, zwlr_screencopy_frame_v1* frame);
    static void onBufferDone(void* data, zwlr_screencopy_frame_v1* frame);
    // Copies into our buffer once the compositor has said which buffers it takes.
    void copy();
    bool ensureBuffer();
    void releaseBuffer();
    void fail(std::string why);

    std::shared_ptr<WaylandConnection> connection_;
    wl_output* output_;
    ShotHandler onShot_;
    FailureHandler onFailure_;

    zwlr_screencopy_frame_v1* frame_ = nullptr;
    bool withDamage_ = false;
    bool formatOffered_ = false;
    std::uint32_t format_ = 0;
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    bool yInverted_ = false;

    wl_buffer* buffer_ = nullptr;
    std::shared_ptr<ShmPixels> pixels_;
    std::uint32_t bufferFormat_ = 0;
    int bufferWidth_ = 0;
    int bufferHeight_ = 0;
    int bufferStride_ = 0;
};

}  // namespace quelm
