#pragma once

#include <memory>
#include <string>

#include "QuelmHostKit/linux/x11/X11Registration.hpp"
#include "QuelmHostKit/platform/HostEnvironment.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class X11EventPump;
class X11DisplayServices;
class X11CursorMonitor;
class X11EventPoster;
class X11CaptureService;

// The services of an X11 desktop session. One event pump thread (its own X connection) keeps
// the display list and the pointer position current; services that talk to X themselves
// (capture, input) open their own X11Connection on their own threads.
// When the X server goes away the services go quiet and keep their last answers; the host
// carries on without a screen to offer.
class LinuxHostEnvironment final : public HostEnvironment {
  public:
    // Connects to `displayName` ($DISPLAY when empty). Check unavailableReason() afterwards.
    // Captured pictures are blacked out where `neverCapture` says (may be null).
    explicit LinuxHostEnvironment(std::string displayName = "",
                                  std::shared_ptr<NeverCaptureRegistry> neverCapture = nullptr);
    ~LinuxHostEnvironment() override;

    std::string unavailableReason() const override { return reason_; }
    std::shared_ptr<DisplayServices> displayServices() override;
    std::shared_ptr<CursorMonitor> cursorMonitor() override;
    std::shared_ptr<EventPoster> eventPoster() override;
    // XShm capture of the RandR monitors, with system audio from PulseAudio.
    std::shared_ptr<CaptureService> captureService() override;
    std::shared_ptr<SystemAudioSource> systemAudioSource() override;
    void shutdown() override;

  private:
    std::string reason_;
    std::shared_ptr<X11EventPump> pump_;
    std::shared_ptr<X11DisplayServices> displays_;
    std::shared_ptr<X11CursorMonitor> cursor_;
    std::shared_ptr<X11EventPoster> poster_;
    std::shared_ptr<SystemAudioSource> audio_;
    std::shared_ptr<X11CaptureService> capture_;
    X11Registration lost_;
};

}  // namespace quelm
