#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "QuelmHostKit/linux/x11/X11CursorMonitor.hpp"
#include "QuelmHostKit/linux/x11/X11Registration.hpp"
#include "QuelmHostKit/platform/HostEnvironment.hpp"
#include "QuelmHostKit/platform/Replaceable.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class X11EventPump;
class X11CaptureService;
class ReplaceableDisplayServices;
class ReplaceableCursorMonitor;
class ReplaceableEventPoster;
class SessionReconnector;

// The services of an X11 session, and the choice of the session's services (forSession).
//
// One event pump thread (its own X connection) keeps
// the display list and the pointer position current; services that talk to X themselves
// (capture, input) open their own X11Connection on their own threads.
// When the X server goes away the services go quiet and keep their last answers, and the host
// carries on without a screen to offer. A thread ("quelmix.x11.ret", SessionReconnector) then
// tries the display again; once the server is back, the services handed out follow the new
// connection, and the next capture start streams again.
class LinuxHostEnvironment final : public HostEnvironment {
  public:
    // Connects to `displayName` ($DISPLAY when empty). Check unavailableReason() afterwards.
    // Captured pictures are blacked out where `neverCapture` says (may be null).
    explicit LinuxHostEnvironment(std::string displayName = "",
                                  std::shared_ptr<NeverCaptureRegistry> neverCapture = nullptr);

    // The services of the session this process runs in: GNOME's or a wlroots compositor's on
    // Wayland, else X11 ($DISPLAY). The log says which. Check unavailableReason() afterwards.
    static std::shared_ptr<HostEnvironment> forSession(
        std::shared_ptr<NeverCaptureRegistry> neverCapture);
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
    // Connects the pump and what hangs on it; false when the server cannot be reached.
    bool connect();
    void watchForLoss();

    const std::string displayName_;
    std::string reason_;
    std::shared_ptr<ReplaceableDisplayServices> displays_;
    std::shared_ptr<ReplaceableCursorMonitor> cursor_;
    // The same monitor as cursor_, for capture to feed while it reads the pointer anyway.
    std::shared_ptr<Replaceable<X11CursorMonitor>> pointerFeed_ =
        std::make_shared<Replaceable<X11CursorMonitor>>(nullptr);
    std::shared_ptr<ReplaceableEventPoster> poster_;
    std::shared_ptr<SystemAudioSource> audio_;
    std::shared_ptr<X11CaptureService> capture_;

    std::mutex mutex_;
    std::shared_ptr<X11EventPump> pump_;
    X11Registration lostListener_;
    std::unique_ptr<SessionReconnector> reconnector_;
};

}  // namespace quelm
