#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/CursorMonitor.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

// Pictures of one PipeWire video node that a compositor produces for a screen cast (mutter's
// ScreenCast), received in shared-memory buffers as BGRx, with the pointer in the buffers'
// cursor metadata rather than in the picture: the pointer is drawn in here, as on X11, and its
// position reported. The compositor sends a buffer only when the screen changed; a picture is
// delivered no sooner than 1/fps after the previous one (the latest change waits for its turn),
// and always once after start() and after every update().
//
// The secret on screen: a Wayland client cannot learn where its window is, so while any
// never-capture rectangle is registered every picture is black, cursor included.
//
// Thread: PipeWire's callbacks, the conversion and the receivers run on the stream's own loop
// thread ("quelmix.capture"); start, update and stop block until that thread answered and are
// called one at a time. The stream ends itself (onStop) when the node goes away.
class PipeWireCaptureStream final : public CaptureStream {
  public:
    struct Options {
        std::uint32_t nodeId = 0;
        // The monitor's place in the global display space, for the pointer reports.
        double originX = 0;
        double originY = 0;
        std::shared_ptr<NeverCaptureRegistry> neverCapture;
        // Where the pointer is, in the global space; none when it left the monitor. May be null.
        std::function<void(std::optional<PointerPosition>)> onPointer;
    };

    // Pictures kept for reuse, and the most out at once: a consumer that falls behind holds no
    // more than these.
    static constexpr std::size_t poolSize = 4;
    // How long start() waits for the compositor to agree on a format.
    static constexpr double startTimeout = 5.0;
    // How often the never-capture registry is looked at while the screen is still.
    static constexpr double secretCheckInterval = 0.1;

    PipeWireCaptureStream(Options options, CaptureSettings settings, Receivers receivers);
    ~PipeWireCaptureStream() override;
    PipeWireCaptureStream(const PipeWireCaptureStream&) = delete;
    PipeWireCaptureStream& operator=(const PipeWireCaptureStream&) = delete;

    CaptureStatus start() override;
    CaptureStatus update(const CaptureSettings& settings) override;
    void stop() override;

  private:
    class Loop;
    std::unique_ptr<Loop> loop_;
    const Options options_;
    const Receivers receivers_;
    CaptureSettings settings_;
};

}  // namespace quelm
