#include "QuelmHostKit/linux/wayland/wlr/WlrHostEnvironment.hpp"

#include <cstdlib>
#include <utility>

#include "QuelmHostKit/linux/SessionReconnector.hpp"
#include "QuelmHostKit/linux/pulse/PulseAudioSource.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WaylandConnection.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrSession.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/platform/ReplaceableCaptureService.hpp"
#include "QuelmHostKit/platform/ReplaceableCursorMonitor.hpp"
#include "QuelmHostKit/platform/ReplaceableDisplayServices.hpp"
#include "QuelmHostKit/platform/ReplaceableEventPoster.hpp"
#include "QuelmHostKit/platform/ReplaceablePasteboard.hpp"

namespace quelm {

bool WlrHostEnvironment::present() {
    // The globals are all a probe looks at: no devices are made for it.
    auto probe = WaylandConnection::connect();
    if (!probe) {
        return false;
    }
    const bool screencopy = probe->globals().screencopy != nullptr;
    probe->stop();
    return screencopy;
}

std::shared_ptr<WlrHostEnvironment> WlrHostEnvironment::open(
    std::string displayName, std::shared_ptr<NeverCaptureRegistry> neverCapture) {
    if (displayName.empty()) {
        const char* variable = std::getenv("WAYLAND_DISPLAY");
        displayName = variable ? variable : "";
    }
    std::shared_ptr<WlrHostEnvironment> environment(
        new WlrHostEnvironment(std::move(displayName), std::move(neverCapture)));
    std::string why;
    auto session = environment->openSession(why);
    if (!session) {
        Log::info("the wlroots compositor cannot be used: " + why);
        return nullptr;
    }
    Log::info("Wayland session on a wlroots compositor: " + environment->displayName_);
    environment->adopt(std::move(session));
    return environment;
}

WlrHostEnvironment::WlrHostEnvironment(std::string displayName,
                                       std::shared_ptr<NeverCaptureRegistry> neverCapture)
    : displayName_(std::move(displayName)),
      neverCapture_(std::move(neverCapture)),
      // Started only while a companion asks for sound.
      audio_(std::make_shared<PulseAudioSource>()),
      displays_(std::make_shared<ReplaceableDisplayServices>(nullptr)),
      cursor_(std::make_shared<ReplaceableCursorMonitor>(nullptr)),
      poster_(std::make_shared<ReplaceableEventPoster>(nullptr)),
      capture_(std::make_shared<ReplaceableCaptureService>(nullptr)) {
    reconnector_ = std::make_unique<SessionReconnector>(
        SessionReconnector::Options{"quelmix.wlr.ret", "the Wayland compositor", 0.25, 2.0,
                                    [this]() -> std::optional<std::string> {
                                        std::string why;
                                        auto session = openSession(why);
                                        if (!session) {
                                            return why;
                                        }
                                        adopt(std::move(session));
                                        return std::nullopt;
                                    }});
}

WlrHostEnvironment::~WlrHostEnvironment() {
    shutdown();
}

std::unique_ptr<WlrSession> WlrHostEnvironment::openSession(std::string& why) {
    return WlrSession::open({displayName_, audio_, neverCapture_}, &why);
}

void WlrHostEnvironment::adopt(std::unique_ptr<WlrSession> session) {
    WlrSession& fresh = *session;
    displays_->replace(fresh.displayServices());
    cursor_->replace(fresh.cursorMonitor());
    poster_->replace(fresh.eventPoster());
    capture_->replace(fresh.captureService());
    std::unique_ptr<WlrSession> previous;
    std::shared_ptr<SerialQueue> mainQueue;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(session_, std::move(session));
        mainQueue = pasteboard_ ? mainQueue_ : nullptr;
    }
    if (mainQueue) {
        auto pasteboard = fresh.createPasteboard(mainQueue);
        std::lock_guard lock(mutex_);
        pasteboard_->replace(std::move(pasteboard));
    }
    // Runs on the connection's thread: only a wake-up. A loss before the listener was there is
    // caught by the check after it.
    fresh.onLost([reconnector = reconnector_.get()] { reconnector->lost(); });
    if (fresh.isLost()) {
        reconnector_->lost();
    }
    if (previous) {
        previous->shutdown();
    }
}

std::shared_ptr<DisplayServices> WlrHostEnvironment::displayServices() {
    return displays_;
}

std::shared_ptr<CursorMonitor> WlrHostEnvironment::cursorMonitor() {
    return cursor_;
}

std::shared_ptr<EventPoster> WlrHostEnvironment::eventPoster() {
    return poster_;
}

std::shared_ptr<CaptureService> WlrHostEnvironment::captureService() {
    return capture_;
}

std::shared_ptr<Pasteboard> WlrHostEnvironment::createPasteboard(
    std::shared_ptr<SerialQueue> mainQueue) {
    std::lock_guard lock(mutex_);
    if (pasteboard_ || !session_) {
        return pasteboard_;
    }
    auto pasteboard = session_->createPasteboard(mainQueue);
    if (!pasteboard) {
        return nullptr;
    }
    mainQueue_ = mainQueue;
    pasteboard_ = std::make_shared<ReplaceablePasteboard>(std::move(pasteboard), mainQueue);
    return pasteboard_;
}

void WlrHostEnvironment::shutdown() {
    reconnector_->stop();
    std::lock_guard lock(mutex_);
    if (session_) {
        session_->shutdown();
    }
}

}  // namespace quelm
