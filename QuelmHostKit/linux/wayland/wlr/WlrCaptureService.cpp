#include "QuelmHostKit/linux/wayland/wlr/WlrCaptureService.hpp"

#include "QuelmHostKit/linux/wayland/wlr/WaylandConnection.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrOutputs.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrScreencopyStream.hpp"
#include "QuelmHostKit/streaming/SystemAudioCaptureStream.hpp"

namespace quelm {

WlrCaptureService::WlrCaptureService(Options options) : options_(std::move(options)) {}

bool WlrCaptureService::permissionGranted() {
    // A lost compositor is no refusal: starts then fail as temporary.
    return options_.connection != nullptr;
}

CaptureService::Displays WlrCaptureService::displays() {
    if (!options_.connection || options_.connection->isLost()) {
        return CaptureStatus::failure(CaptureStatus::Kind::temporary, "no Wayland compositor");
    }
    std::vector<CaptureDisplay> list;
    for (const auto& output : options_.connection->outputs()->snapshots()) {
        list.push_back(CaptureDisplay{output.id, output.pixelWidth, output.pixelHeight});
    }
    return list;
}

CaptureService::Stream WlrCaptureService::createStream(const CaptureDisplay& display,
                                                       const CaptureSettings& settings,
                                                       CaptureStream::Receivers receivers) {
    WlrScreencopyStream::Options video{options_.connection, display.id, options_.neverCapture};
    auto onAudio = receivers.onAudio;
    receivers.onAudio = nullptr;
    auto stream =
        std::make_shared<WlrScreencopyStream>(std::move(video), settings, std::move(receivers));
    return std::make_shared<SystemAudioCaptureStream>(std::move(stream), options_.audio,
                                                      settings.audio, std::move(onAudio));
}

}  // namespace quelm
