#include "QuelmHostKit/linux/LinuxHostEnvironment.hpp"

#include <cstdlib>

#include "QuelmHostKit/linux/pulse/PulseAudioSource.hpp"
#include "QuelmHostKit/linux/x11/X11CaptureService.hpp"
#include "QuelmHostKit/linux/x11/X11CursorMonitor.hpp"
#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"
#include "QuelmHostKit/linux/x11/X11EventPoster.hpp"
#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

LinuxHostEnvironment::LinuxHostEnvironment(std::string displayName,
                                           std::shared_ptr<NeverCaptureRegistry> neverCapture) {
    const char* fromEnvironment = std::getenv("DISPLAY");
    if (displayName.empty() && (fromEnvironment == nullptr || *fromEnvironment == '\0')) {
        reason_ =
            "no X display: DISPLAY is not set. Start the host inside the desktop session, or "
            "name its display (for example DISPLAY=:0).";
        return;
    }
    const std::string shown = displayName.empty() ? fromEnvironment : displayName;
    pump_ = X11EventPump::start(displayName);
    if (pump_) {
        displays_ = X11DisplayServices::create(pump_);
    }
    if (!displays_) {
        pump_.reset();
        reason_ = "no X display: cannot connect to the X server \"" + shown +
                  "\" (is it running, and may this user use it?)";
        return;
    }
    cursor_ = X11CursorMonitor::create(pump_);
    // Input gets a connection of its own: it is driven from the input queue's thread.
    poster_ = X11EventPoster::connect(displayName);
    if (!poster_) {
        Log::info("no XTest on the X server: the companion cannot drive the pointer or keys");
    }

    // Started only while a companion asks for sound; without a sound server that is logged and
    // the picture goes on.
    audio_ = std::make_shared<PulseAudioSource>();
    X11CaptureService::Options capture;
    capture.displayName = displayName;
    capture.displays = displays_;
    capture.audio = audio_;
    capture.neverCapture = std::move(neverCapture);
    capture_ = std::make_shared<X11CaptureService>(std::move(capture));
    lost_ = pump_->onLost([] {
        Log::info(
            "the X server is gone: the screen is no longer offered until the host is "
            "started again");
    });
}

LinuxHostEnvironment::~LinuxHostEnvironment() {
    shutdown();
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
    lost_.reset();
    if (pump_) {
        pump_->stop();
    }
}

}  // namespace quelm
