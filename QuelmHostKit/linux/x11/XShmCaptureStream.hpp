#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/CursorMonitor.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class XShmCaptureSession;

// Captures one RandR monitor of an X server: damage-driven XShm grabs into one
// reused shared-memory image, the pointer drawn in, the never-capture
// rectangles blacked out, scaled and converted to NV12 into a small pool of
// buffers.
//
// A picture is grabbed only when XDamage reports a change inside the monitor or
// the pointer moved over it, as soon as that is noticed when the frame rate
// allows (FramePacer: fps pictures a second); the first picture after start()
// and after every update() is always delivered. A still screen costs a pointer
// query every 1/30 s and nothing else.
//
// Thread: all X work happens on the stream's own thread ("quelmix.capture"),
// with a connection of its own; start, update and stop block until that thread
// has answered and are called one at a time. Receivers run on the capture
// thread. The stream ends itself (onStop) when the X server is lost or the
// monitor goes away. Ownership: never destroy the stream from its own
// receivers; stop() joins the thread.
//
// A capture made ready by prepare() ahead of the stream (at a companion's connect, while
// its hello is on the way) spares the first picture the cold costs of the first grab and
// conversion: the stream takes it over instead of opening its own.
class XShmCaptureStream final : public CaptureStream {
  public:
    struct Options {
        // The X display (":1"); empty for $DISPLAY.
        std::string displayName;
        std::uint32_t displayId = 0;
        // Where the monitor is: the same ids as the display selection.
        std::shared_ptr<DisplayServices> displays;
        // May be null.
        std::shared_ptr<NeverCaptureRegistry> neverCapture;
        // Told every pointer position the stream reads, so that nobody else needs to read it
        // while capture runs; may be empty. Runs on the capture thread.
        std::function<void(PointerPosition)> onPointer;
    };

    // Pictures out at once: the one being converted, the pipeline's pending one,
    // its current one (being encoded, or kept for refinements) and one on its way
    // to the pipeline. When all are out, a due picture waits for the next turn.
    static constexpr std::size_t poolLimit = 4;
    // The pointer is looked at no more often than this.
    static constexpr double pointerInterval = 1.0 / 30;

    // Opens the capture of the monitor and warms it for pictures of this size; nothing, with
    // the reason logged, when it cannot be opened. Blocks on the X server; any thread.
    static std::shared_ptr<XShmCaptureSession> prepare(Options options, int width, int height);

    // `prepared`, from prepare() with the same options, may be null; the stream owns it from
    // now on.
    XShmCaptureStream(Options options, CaptureSettings settings, Receivers receivers,
                      std::shared_ptr<XShmCaptureSession> prepared = nullptr);
    ~XShmCaptureStream() override;
    XShmCaptureStream(const XShmCaptureStream&) = delete;
    XShmCaptureStream& operator=(const XShmCaptureStream&) = delete;

    CaptureStatus start() override;
    CaptureStatus update(const CaptureSettings& settings) override;
    void stop() override;

  private:
    void run();
    void wake();
    // Announces the outcome of start() or of an update to the waiting caller.
    void answer(CaptureStatus status);

    const Options options_;
    const Receivers receivers_;
    // Handed to the capture thread when it starts.
    std::shared_ptr<XShmCaptureSession> prepared_;
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;
    std::condition_variable answered_;
    CaptureSettings settings_;
    // An update not yet applied by the capture thread.
    std::optional<CaptureSettings> pending_;
    std::uint64_t requests_ = 0;
    std::uint64_t answers_ = 0;
    CaptureStatus lastAnswer_;
    bool running_ = false;
};

}  // namespace quelm
