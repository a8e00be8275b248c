#include "QuelmHostKit/linux/x11/X11CaptureService.hpp"

#include <cmath>

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
    XShmCaptureStream::Options video;
    video.displayName = options_.displayName;
    video.displayId = display.id;
    video.displays = options_.displays;
    video.neverCapture = options_.neverCapture;
    video.onPointer = options_.onPointer;
    auto onAudio = receivers.onAudio;
    receivers.onAudio = nullptr;
    auto stream =
        std::make_shared<XShmCaptureStream>(std::move(video), settings, std::move(receivers));
    return std::make_shared<SystemAudioCaptureStream>(
        std::move(stream), options_.audio, settings.audio, std::move(onAudio), options_.audioRetry);
}

}  // namespace quelm
