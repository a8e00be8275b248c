#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

#include "QuelmHostKit/platform/AudioSamples.hpp"
#include "QuelmHostKit/platform/CaptureStatus.hpp"
#include "QuelmHostKit/platform/PixelBuffer.hpp"

namespace quelm {

// A display that can be captured, with its native size in pixels.
struct CaptureDisplay {
    std::uint32_t id = 0;
    int pixelWidth = 0;
    int pixelHeight = 0;
    friend bool operator==(const CaptureDisplay&, const CaptureDisplay&) = default;
};

// How a stream captures: the picture size it delivers (scaled from the native size), the
// shortest interval between two pictures, and whether system audio comes too.
struct CaptureSettings {
    int width = 0;
    int height = 0;
    int fps = 30;
    bool audio = false;
    friend bool operator==(const CaptureSettings&, const CaptureSettings&) = default;
};

// One running capture of one display. Pictures are complete NV12 frames (4:2:0, video range,
// BT.709) of the configured size with the cursor drawn, delivered only when the screen changed,
// and always once after start() and after every update(). Handlers run on the stream's own
// threads; after stop() returns none runs any more.
class CaptureStream {
  public:
    struct Receivers {
        std::function<void(PixelBufferRef)> onPicture;
        std::function<void(const AudioSamples&)> onAudio;
        // The platform ended the stream (server lost, display gone); not called after stop().
        std::function<void(CaptureStatus)> onStop;
    };

    virtual ~CaptureStream() = default;
    // Blocks until capture runs or failed; call it off the logic's queues.
    virtual CaptureStatus start() = 0;
    // Applies new settings to the running stream; blocks like start().
    virtual CaptureStatus update(const CaptureSettings& settings) = 0;
    virtual void stop() = 0;
};

// The platform's screen capture facility.
class CaptureService {
  public:
    using Displays = std::variant<std::vector<CaptureDisplay>, CaptureStatus>;
    using Stream = std::variant<std::shared_ptr<CaptureStream>, CaptureStatus>;

    virtual ~CaptureService() = default;
    // Whether the user allows screen capture at all (the display can be opened and read).
    virtual bool permissionGranted() = 0;
    // The shareable displays, with the ids of the display services; may block.
    virtual Displays displays() = 0;
    // A stream that is not started yet.
    virtual Stream createStream(const CaptureDisplay& display, const CaptureSettings& settings,
                                CaptureStream::Receivers receivers) = 0;

    // Makes the capture of `display` ready ahead of its stream (a companion is connecting), so
    // that the stream's first picture costs no more than any later one; `likely` are the
    // settings that stream will most likely have. The next createStream of that display takes
    // it over. One at a time: a new one replaces the last. May block. Nothing by default, for
    // platforms whose first picture needs no preparing.
    virtual void prepare(const CaptureDisplay& display, const CaptureSettings& likely) {
        (void)display;
        (void)likely;
    }
    // Lets an unused preparation go (the companion never said hello).
    virtual void discardPrepared() {}
};

}  // namespace quelm
