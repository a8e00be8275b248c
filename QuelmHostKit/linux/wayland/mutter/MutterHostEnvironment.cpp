#include "QuelmHostKit/linux/wayland/mutter/MutterHostEnvironment.hpp"

#include "QuelmHostKit/linux/pulse/PulseAudioSource.hpp"
#include "QuelmHostKit/linux/wayland/WaylandPointer.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterDesktop.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterDisplayServices.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterEventPoster.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterPasteboard.hpp"

namespace quelm {

MutterHostEnvironment::MutterHostEnvironment(std::shared_ptr<NeverCaptureRegistry> neverCapture)
    : desktop_(std::make_shared<MutterDesktop>()), pointer_(std::make_shared<WaylandPointer>()) {
    displays_ = std::make_shared<MutterDisplayServices>(desktop_);
    poster_ = std::make_shared<MutterEventPoster>(desktop_, pointer_);
    audio_ = std::make_shared<PulseAudioSource>();
    MutterCaptureService::Options capture;
    capture.desktop = desktop_;
    capture.audio = audio_;
    capture.neverCapture = std::move(neverCapture);
    capture.pointer = pointer_;
    capture_ = std::make_shared<MutterCaptureService>(std::move(capture));
    pasteboard_ = MutterPasteboard::create(desktop_);
    desktop_->onSessionChange([pointer = pointer_](bool started) {
        if (!started) {
            pointer->set(std::nullopt);
        }
    });
    desktop_->start();
    // The display list is wanted at once; the first session usually stands within a second.
    desktop_->waitForStream(1, MutterCaptureService::streamTimeout);
}

MutterHostEnvironment::~MutterHostEnvironment() {
    shutdown();
}

std::shared_ptr<CursorMonitor> MutterHostEnvironment::cursorMonitor() {
    return pointer_;
}

void MutterHostEnvironment::shutdown() {
    desktop_->stop();
}

}  // namespace quelm
