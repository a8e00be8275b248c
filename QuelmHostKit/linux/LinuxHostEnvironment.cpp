#include "QuelmHostKit/linux/LinuxHostEnvironment.hpp"

#include <cstdlib>
#include <utility>

#include "QuelmHostKit/linux/LinuxSession.hpp"
#include "QuelmHostKit/linux/SessionReconnector.hpp"
#include "QuelmHostKit/linux/pulse/PulseAudioSource.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterDesktop.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterHostEnvironment.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrHostEnvironment.hpp"
#include "QuelmHostKit/linux/x11/X11CaptureService.hpp"
#include "QuelmHostKit/linux/x11/X11CursorMonitor.hpp"
#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"
#include "QuelmHostKit/linux/x11/X11EventPoster.hpp"
#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/platform/ReplaceableCursorMonitor.hpp"
#include "QuelmHostKit/platform/ReplaceableDisplayServices.hpp"
#include "QuelmHostKit/platform/ReplaceableEventPoster.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"

namespace quelm {

namespace {

// A session the host cannot serve: says why, offers nothing.
class UnavailableEnvironment final : public HostEnvironment {
  public:
    explicit UnavailableEnvironment(std::string reason) : reason_(std::move(reason)) {}
    std::string unavailableReason() const override { return reason_; }
    std::shared_ptr<DisplayServices> displayServices() override { return nullptr; }
    std::shared_ptr<CursorMonitor> cursorMonitor() override { return nullptr; }
    void shutdown() override {}

  private:
    const std::string reason_;
};

}  // namespace

std::shared_ptr<HostEnvironment> LinuxHostEnvironment::forSession(
    std::shared_ptr<NeverCaptureRegistry> neverCapture) {
    const auto facts = LinuxSession::observe([](const char* name) { return std::getenv(name); },
                                             MutterDesktop::present, WlrHostEnvironment::present);
    const auto kind = LinuxSession::choose(facts);
    Log::info(LinuxSession::describe(kind, facts));
    switch (kind) {
        case LinuxSessionKind::gnomeWayland:
            return std::make_shared<MutterHostEnvironment>(std::move(neverCapture));
        case LinuxSessionKind::wlrootsWayland:
            if (auto environment = WlrHostEnvironment::open("", neverCapture)) {
                return environment;
            }
            return std::make_shared<UnavailableEnvironment>(
                "the wlroots compositor's protocols could not be used");
        case LinuxSessionKind::unsupportedWayland:
            return std::make_shared<UnavailableEnvironment>(
                "no supported desktop: this Wayland compositor offers neither mutter's remote "
                "desktop nor wlroots' protocols, and there is no X display to fall back on");
        case LinuxSessionKind::x11:
            break;
    }
    return std::make_shared<LinuxHostEnvironment>("", std::move(neverCapture));
}

LinuxHostEnvironment::LinuxHostEnvironment(std::string displayName,
                                           std::shared_ptr<NeverCaptureRegistry> neverCapture)
    : displayName_(std::move(displayName)) {
    const char* fromEnvironment = std::getenv("DISPLAY");
    if (displayName_.empty() && (fromEnvironment == nullptr || *fromEnvironment == '\0')) {
        reason_ =
            "no X display: DISPLAY is not set. Start the host inside the desktop session, or "
            "name its display (for example DISPLAY=:0).";
        return;
    }
    displays_ = std::make_shared<ReplaceableDisplayServices>(nullptr);
    cursor_ = std::make_shared<ReplaceableCursorMonitor>(nullptr);
    poster_ = std::make_shared<ReplaceableEventPoster>(nullptr);
    if (!connect()) {
        const std::string shown = displayName_.empty() ? fromEnvironment : displayName_;
        reason_ = "no X display: cannot connect to the X server \"" + shown +
                  "\" (is it running, and may this user use it?)";
        displays_.reset();
        cursor_.reset();
        poster_.reset();
        return;
    }
    if (!poster_->current()) {
        Log::info("no XTest on the X server: the companion cannot drive the pointer or keys");
        poster_.reset();
    }

    // Started only while a companion asks for sound; without a sound server that is logged and
    // the picture goes on.
    audio_ = std::make_shared<PulseAudioSource>();
    X11CaptureService::Options capture;
    capture.displayName = displayName_;
    capture.displays = displays_;
    capture.audio = audio_;
    capture.audioRetry = std::make_shared<ThreadQueue>("quelmix.audio.retry");
    capture.neverCapture = std::move(neverCapture);
    capture.onPointer = [feed = pointerFeed_](PointerPosition position) {
        if (auto monitor = feed->current()) {
            monitor->report(position);
        }
    };
    capture_ = std::make_shared<X11CaptureService>(std::move(capture));
    reconnector_ = std::make_unique<SessionReconnector>(SessionReconnector::Options{
        "quelmix.x11.ret", "the X server", 0.25, 2.0, [this]() -> std::optional<std::string> {
            lostListener_.reset();
            if (!connect()) {
                return "cannot connect to the X server";
            }
            watchForLoss();
            return std::nullopt;
        }});
    watchForLoss();
}

LinuxHostEnvironment::~LinuxHostEnvironment() {
    shutdown();
}

bool LinuxHostEnvironment::connect() {
    auto pump = X11EventPump::start(displayName_);
    auto displays = pump ? X11DisplayServices::create(pump) : nullptr;
    if (!displays) {
        if (pump) {
            pump->stop();
        }
        return false;
    }
    displays_->replace(displays);
    auto cursor = X11CursorMonitor::create(pump);
    pointerFeed_->replace(cursor);
    cursor_->replace(std::move(cursor));
    // Input gets a connection of its own: it is driven from the input queue's thread.
    if (poster_) {
        poster_->replace(X11EventPoster::connect(displayName_));
    }
    std::shared_ptr<X11EventPump> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(pump_, std::move(pump));
    }
    if (previous) {
        previous->stop();
    }
    return true;
}

void LinuxHostEnvironment::watchForLoss() {
    std::shared_ptr<X11EventPump> pump;
    {
        std::lock_guard lock(mutex_);
        pump = pump_;
    }
    // Runs on the pump's thread, inside the failing Xlib call: only a log line and a wake-up.
    lostListener_ = pump->onLost([reconnector = reconnector_.get()] {
        Log::info("the X server is gone: the screen is not offered until it is back");
        reconnector->lost();
    });
}

std::shared_ptr<DisplayServices> LinuxHostEnvironment::displayServices() {
    return displays_;
}

std::shared_ptr<CursorMonitor> LinuxHostEnvironment::cursorMonitor() {
    return cursor_;
}

std::shared_ptr<EventPoster> LinuxHostEnvironment::eventPoster() {
    return poster_;
}

std::shared_ptr<CaptureService> LinuxHostEnvironment::captureService() {
    return capture_;
}

std::shared_ptr<SystemAudioSource> LinuxHostEnvironment::systemAudioSource() {
    return audio_;
}

void LinuxHostEnvironment::shutdown() {
    if (reconnector_) {
        reconnector_->stop();
    }
    lostListener_.reset();
    std::shared_ptr<X11EventPump> pump;
    {
        std::lock_guard lock(mutex_);
        pump = pump_;
    }
    if (pump) {
        pump->stop();
    }
}

}  // namespace quelm
