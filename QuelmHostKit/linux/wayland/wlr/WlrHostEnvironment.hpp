#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "QuelmHostKit/platform/HostEnvironment.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class ReplaceableCaptureService;
class ReplaceableCursorMonitor;
class ReplaceableDisplayServices;
class ReplaceableEventPoster;
class ReplaceablePasteboard;
class SessionReconnector;
class WlrSession;

// The services of a wlroots Wayland session (sway and its kin), from one WlrSession on the
// compositor's socket, with sound from PulseAudio.
//
// When the compositor goes away the services go quiet and keep their last answers (capture
// ends with a temporary status, posts fail), and the host carries on. A thread
// ("quelmix.wlr.ret", SessionReconnector) then connects to the same socket again; once a
// compositor answers there, a new session is opened and the services handed out follow it, so
// the next capture start streams again and input, clipboard and workspaces work as before.
class WlrHostEnvironment final : public HostEnvironment {
  public:
    // Whether the Wayland display ($WAYLAND_DISPLAY) is a wlroots compositor: it offers
    // wlr-screencopy. The probe's connection is closed again at once.
    static bool present();
    // Nothing when no wlroots compositor answers at `displayName` ($WAYLAND_DISPLAY when empty).
    // Captured pictures are blacked out where `neverCapture` says (may be null).
    static std::shared_ptr<WlrHostEnvironment> open(
        std::string displayName, std::shared_ptr<NeverCaptureRegistry> neverCapture);
    ~WlrHostEnvironment() override;

    std::string unavailableReason() const override { return {}; }
    std::shared_ptr<DisplayServices> displayServices() override;
    std::shared_ptr<CursorMonitor> cursorMonitor() override;
    std::shared_ptr<EventPoster> eventPoster() override;
    std::shared_ptr<CaptureService> captureService() override;
    std::shared_ptr<SystemAudioSource> systemAudioSource() override { return audio_; }
    // wlr-data-control's clipboard, following the compositor when it comes back; nothing when
    // the compositor offers no data control.
    std::shared_ptr<Pasteboard> createPasteboard(std::shared_ptr<SerialQueue> mainQueue) override;
    void shutdown() override;

  private:
    WlrHostEnvironment(std::string displayName, std::shared_ptr<NeverCaptureRegistry> neverCapture);
    // A session on the socket; nothing, and why, when none can be opened.
    std::unique_ptr<WlrSession> openSession(std::string& why);
    // Hands out `session`'s services in place of the current ones, which end.
    void adopt(std::unique_ptr<WlrSession> session);

    // The socket's name, fixed at start: a compositor that comes back comes back there.
    const std::string displayName_;
    const std::shared_ptr<NeverCaptureRegistry> neverCapture_;
    std::shared_ptr<SystemAudioSource> audio_;
    std::shared_ptr<ReplaceableDisplayServices> displays_;
    std::shared_ptr<ReplaceableCursorMonitor> cursor_;
    std::shared_ptr<ReplaceableEventPoster> poster_;
    std::shared_ptr<ReplaceableCaptureService> capture_;

    std::mutex mutex_;
    std::unique_ptr<WlrSession> session_;
    std::shared_ptr<SerialQueue> mainQueue_;
    std::shared_ptr<ReplaceablePasteboard> pasteboard_;
    std::unique_ptr<SessionReconnector> reconnector_;
};

}  // namespace quelm
