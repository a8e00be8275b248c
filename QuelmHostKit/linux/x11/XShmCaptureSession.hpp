#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

#include "QuelmHostKit/codecs/ScalingNv12Converter.hpp"
#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/linux/x11/XShmCaptureStream.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/streaming/FramePacer.hpp"
#include "QuelmHostKit/streaming/ScreenOverlay.hpp"

namespace quelm {

// A rectangle of root-window pixels.
struct XRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool contains(int px, int py) const {
        return px >= x && py >= y && px < x + width && py < y + height;
    }
    bool intersects(const XRect& other) const {
        return x < other.x + other.width && other.x < x + width && y < other.y + other.height &&
               other.y < y + height;
    }
    friend bool operator==(const XRect&, const XRect&) = default;
};

// Everything one capture of a monitor owns on the X server: its own connection, the damage
// and cursor watch, the shared-memory image, the picture pool and the converter. Used by one
// thread at a time (Xlib is initialised for threads, so it may be made on one thread and
// handed to another); the capture thread of an XShmCaptureStream drives it.
class XShmCaptureSession {
  public:
    using Options = XShmCaptureStream::Options;

    explicit XShmCaptureSession(Options options) : options_(std::move(options)) {}
    ~XShmCaptureSession() { release(); }
    XShmCaptureSession(const XShmCaptureSession&) = delete;
    XShmCaptureSession& operator=(const XShmCaptureSession&) = delete;

    CaptureStatus open();
    // Once open: makes the pictures of this size and runs one grab and conversion, which
    // nobody receives, so that the memory of the image, the pool and the converter has been
    // touched by the X server and by us before the first picture that counts.
    void warm(int width, int height);
    bool isOpen() const { return connection_ != nullptr; }
    std::uint32_t displayId() const { return options_.displayId; }
    // Finds the monitor again after a RandR change: false when it went away.
    bool refreshMonitor(CaptureStatus& why);
    // Follows new settings; forces the next picture.
    void apply(const CaptureSettings& settings);

    // Handles the X events that arrived; false when the server is lost.
    bool drainEvents();
    // Due time of the next look, given what happened; infinity for "wait for
    // events".
    double nextWake(double now) const;
    // Grabs and delivers a picture if one is due and wanted; looks at the pointer
    // when due.
    void tick(double now, const std::function<void(PixelBufferRef)>& deliver);

    bool lost() const { return connection_ && connection_->isLost(); }
    bool monitorGone() const { return monitorGone_; }
    int fd() const { return connection_->fd(); }
    bool eventsQueued() const {
        return !connection_->isLost() && XEventsQueued(display_, QueuedAlready) > 0;
    }

  private:
    // Pictures of this size from now on (at least 2x2).
    void usePool(int width, int height);
    bool createImage();
    void destroyImage();
    void release();
    bool damageInsideMonitor();
    void fetchCursor();
    void queryPointer();
    bool grab(const std::function<void(PixelBufferRef)>& deliver);
    void notice() {
        if (noticedAt_ == 0) {
            noticedAt_ = monotonicSeconds();
        }
    }

    const Options options_;
    std::unique_ptr<X11Connection> connection_;
    Display* display_ = nullptr;
    Window root_ = 0;
    int damageEvent_ = 0;
    int fixesEvent_ = 0;
    int randrEvent_ = -1;
    Damage damage_ = 0;
    XserverRegion region_ = 0;
    XImage* image_ = nullptr;
    XShmSegmentInfo shm_{};
    bool attached_ = false;

    XRect monitor_;
    bool monitorGone_ = false;
    CaptureSettings settings_;
    std::shared_ptr<PixelBufferPool> pool_;
    ScalingNv12Converter converter_;

    CursorImage cursor_;
    bool cursorVisible_ = false;
    int pointerX_ = std::numeric_limits<int>::min();
    int pointerY_ = std::numeric_limits<int>::min();
    bool pointerKnown() const { return pointerX_ != std::numeric_limits<int>::min(); }
    double pointerCheckedAt_ = -1e9;

    // When the first change since the last picture was noticed; 0 for none yet.
    double noticedAt_ = 0;
    bool forced_ = true;
    // A picture was due but could not be taken (no free buffer, a failed read): try again at
    // the next turn.
    bool missed_ = false;
    bool damaged_ = true;
    bool pointerChanged_ = false;
    bool cursorChanged_ = false;
    bool monitorChanged_ = false;
    double recheckUntil_ = 0;
    FramePacer pacer_;
};

}  // namespace quelm
