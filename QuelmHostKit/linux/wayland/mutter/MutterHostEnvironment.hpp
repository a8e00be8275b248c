#pragma once

#include <memory>

#include "QuelmHostKit/platform/HostEnvironment.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class MutterDesktop;
class WaylandPointer;

// The services of a GNOME Wayland session, through mutter's remote desktop interfaces on the
// session bus: displays from DisplayConfig, capture from ScreenCast over PipeWire, input from
// RemoteDesktop and its clipboard, sound from PulseAudio. Created on the main thread (the
// clipboard's). When mutter goes away the services go quiet and keep
// their last answers; once it is back a new session is set up and the next capture start
// streams again.
class MutterHostEnvironment final : public HostEnvironment {
  public:
    explicit MutterHostEnvironment(std::shared_ptr<NeverCaptureRegistry> neverCapture);
    ~MutterHostEnvironment() override;

    std::string unavailableReason() const override { return {}; }
    std::shared_ptr<DisplayServices> displayServices() override { return displays_; }
    std::shared_ptr<CursorMonitor> cursorMonitor() override;
    std::shared_ptr<EventPoster> eventPoster() override { return poster_; }
    std::shared_ptr<CaptureService> captureService() override { return capture_; }
    std::shared_ptr<SystemAudioSource> systemAudioSource() override { return audio_; }
    std::shared_ptr<Pasteboard> createPasteboard(std::shared_ptr<SerialQueue>) override {
        return pasteboard_;
    }
    void shutdown() override;

  private:
    std::shared_ptr<MutterDesktop> desktop_;
    std::shared_ptr<WaylandPointer> pointer_;
    std::shared_ptr<DisplayServices> displays_;
    std::shared_ptr<EventPoster> poster_;
    std::shared_ptr<SystemAudioSource> audio_;
    std::shared_ptr<CaptureService> capture_;
    std::shared_ptr<Pasteboard> pasteboard_;
};

}  // namespace quelm
