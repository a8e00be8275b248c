#pragma once

#include <functional>
#include <memory>
#include <string>

#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/CursorMonitor.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"
#include "QuelmHostKit/platform/Pasteboard.hpp"
#include "QuelmHostKit/platform/SystemAudioSource.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class WaylandConnection;
class WlrOutputs;
class WaylandPointer;

// The platform services of a wlroots desktop (sway and its kin), all on one Wayland
// connection: outputs from xdg-output, capture with wlr-screencopy, the pointer position the
// host's virtual pointer set, input through
// the virtual pointer and keyboard protocols, workspaces through sway's IPC. When the compositor
// goes away the services go quiet (capture ends with a temporary status, posts fail) and answer
// from what they last knew.
class WlrSession {
  public:
    struct Options {
        // Empty for $WAYLAND_DISPLAY.
        std::string displayName;
        // May be null: no sound.
        std::shared_ptr<SystemAudioSource> audio;
        std::shared_ptr<NeverCaptureRegistry> neverCapture;
    };

    // Nothing when no compositor answers there, or when it is not a wlroots one (it offers no
    // wlr-screencopy); `why` (may be null) then says which.
    static std::unique_ptr<WlrSession> open(Options options, std::string* why = nullptr);
    ~WlrSession();
    WlrSession(const WlrSession&) = delete;
    WlrSession& operator=(const WlrSession&) = delete;

    std::shared_ptr<DisplayServices> displayServices();
    std::shared_ptr<CursorMonitor> cursorMonitor();
    std::shared_ptr<CaptureService> captureService();
    // Null when the compositor offers neither virtual pointer nor virtual keyboard.
    std::shared_ptr<EventPoster> eventPoster();
    // The clipboard through wlr-data-control, answering on `mainQueue`; null where the
    // compositor has no data control.
    std::shared_ptr<Pasteboard> createPasteboard(std::shared_ptr<SerialQueue> mainQueue);
    bool isLost() const;
    // Runs `listener` once, on the connection's thread, when the compositor goes away; it must
    // not wait for that thread.
    void onLost(std::function<void()> listener);

    // Ends the connection's thread; the services keep their last answers.
    void shutdown();

  private:
    WlrSession() = default;

    std::shared_ptr<WaylandConnection> connection_;
    std::shared_ptr<WaylandPointer> pointer_;
    std::shared_ptr<CaptureService> capture_;
    std::shared_ptr<EventPoster> poster_;
};

}  // namespace quelm
