#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "QuelmHostKit/linux/x11/XShmCaptureStream.hpp"
#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/CursorMonitor.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"
#include "QuelmHostKit/platform/SystemAudioSource.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class XShmCaptureSession;

// Screen capture on an X server: the RandR monitors of the display services are
// the displays (same ids as the display selection), each captured by an
// XShmCaptureStream; system audio comes from the given source while the
// settings ask for it.
//
// Thread-safe; displays() and the streams' operations may block on the X
// server.
class X11CaptureService final : public CaptureService {
  public:
    struct Options {
        // Empty for $DISPLAY.
        std::string displayName;
        std::shared_ptr<DisplayServices> displays;
        // May be null: audio then stays off.
        std::shared_ptr<SystemAudioSource> audio;
        // Where a lost sound server is tried again; may block. Null: a lost source stays off.
        std::shared_ptr<SerialQueue> audioRetry;
        std::shared_ptr<NeverCaptureRegistry> neverCapture;
        // Told the pointer positions capture reads; may be empty.
        std::function<void(PointerPosition)> onPointer;
    };

    explicit X11CaptureService(Options options);

    // The X server can be reached (X has no screen-recording consent of its own).
    bool permissionGranted() override;
    Displays displays() override;
    Stream createStream(const CaptureDisplay& display, const CaptureSettings& settings,
                        CaptureStream::Receivers receivers) override;
    // Opens the monitor's capture and warms it for pictures of the likely size.
    void prepare(const CaptureDisplay& display, const CaptureSettings& likely) override;
    void discardPrepared() override;

  private:
    XShmCaptureStream::Options streamOptions(std::uint32_t displayId) const;

    const Options options_;
    std::mutex mutex_;
    std::shared_ptr<XShmCaptureSession> prepared_;
};

}  // namespace quelm
