#include "QuelmHostKit/linux/x11/X11CaptureService.hpp"

#include <cmath>
#include <utility>

#include "QuelmHostKit/linux/x11/XShmCaptureSession.hpp"
#include "QuelmHostKit/linux/x11/XShmCaptureStream.hpp"
#include "QuelmHostKit/streaming/SystemAudioCaptureStream.hpp"

namespace quelm {

X11CaptureService::X11CaptureService(Options options) : options_(std::move(options)) {}

bool X11CaptureService::permissionGranted() {
    return options_.displays != nullptr;
}

CaptureService::Displays X11CaptureService::displays() {
    if (!options_.displays) {
        return CaptureStatus::failure(CaptureStatus::Kind::temporary, "no X display");
    }
    std::vector<CaptureDisplay> list;
    for (const auto& display : options_.displays->activeDisplays()) {
        // Root-window pixels are the native pixels on X.
        list.push_back(CaptureDisplay{display.id,
                                      static_cast<int>(std::lround(display.bounds.width)),
                                      static_cast<int>(std::lround(display.bounds.height))});
    }
    return list;
}

CaptureService::Stream X11CaptureService::createStream(const CaptureDisplay& display,
                                                       const CaptureSettings& settings,
                                                       CaptureStream::Receivers receivers) {
    std::shared_ptr<XShmCaptureSession> prepared;
    {
        std::lock_guard lock(mutex_);
        if (prepared_ && prepared_->displayId() == display.id) {
            prepared = std::move(prepared_);
        }
    }
    auto onAudio = receivers.onAudio;
    receivers.onAudio = nullptr;
    auto stream = std::make_shared<XShmCaptureStream>(streamOptions(display.id), settings,
                                                      std::move(receivers), std::move(prepared));
    return std::make_shared<SystemAudioCaptureStream>(
        std::move(stream), options_.audio, settings.audio, std::move(onAudio), options_.audioRetry);
}

void X11CaptureService::prepare(const CaptureDisplay& display, const CaptureSettings& likely) {
    if (!options_.displays) {
        return;
    }
    // Out of the lock: opening and warming wait for the X server.
    auto session =
        XShmCaptureStream::prepare(streamOptions(display.id), likely.width, likely.height);
    std::shared_ptr<XShmCaptureSession> replaced;
    {
        std::lock_guard lock(mutex_);
        replaced = std::exchange(prepared_, std::move(session));
    }
}

void X11CaptureService::discardPrepared() {
    std::shared_ptr<XShmCaptureSession> discarded;
    {
        std::lock_guard lock(mutex_);
        discarded = std::move(prepared_);
    }
}

XShmCaptureStream::Options X11CaptureService::streamOptions(std::uint32_t displayId) const {
    XShmCaptureStream::Options video;
    video.displayName = options_.displayName;
    video.displayId = displayId;
    video.displays = options_.displays;
    video.neverCapture = options_.neverCapture;
    video.onPointer = options_.onPointer;
    return video;
}

}  // namespace quelm
