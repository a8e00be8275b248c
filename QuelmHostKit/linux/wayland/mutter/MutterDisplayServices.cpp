#include "QuelmHostKit/linux/wayland/mutter/MutterDisplayServices.hpp"

#include <cmath>

#include "QuelmHostKit/linux/pipewire/PipeWireCaptureStream.hpp"
#include "QuelmHostKit/linux/wayland/WaylandPointer.hpp"
#include "QuelmHostKit/streaming/SystemAudioCaptureStream.hpp"

namespace quelm {

namespace {

CaptureStatus temporary(std::string text) {
    return CaptureStatus::failure(CaptureStatus::Kind::temporary, std::move(text));
}

// Finds the session's recording when started, then reads it over PipeWire.
class MutterCaptureStream final : public CaptureStream {
  public:
    MutterCaptureStream(std::shared_ptr<MutterDesktop> desktop, std::uint32_t displayId,
                        PipeWireCaptureStream::Options options, CaptureSettings settings,
                        Receivers receivers)
        : desktop_(std::move(desktop)),
          displayId_(displayId),
          options_(std::move(options)),
          settings_(settings),
          receivers_(std::move(receivers)) {}

    CaptureStatus start() override {
        const auto monitor =
            desktop_->waitForStream(displayId_, MutterCaptureService::streamTimeout);
        if (!monitor) {
            return temporary("mutter offers no screen cast of display " +
                             std::to_string(displayId_));
        }
        auto options = options_;
        options.nodeId = *monitor->nodeId;
        options.originX = monitor->monitor.bounds.x;
        options.originY = monitor->monitor.bounds.y;
        stream_ = std::make_unique<PipeWireCaptureStream>(std::move(options), settings_,
                                                          std::move(receivers_));
        return stream_->start();
    }
    CaptureStatus update(const CaptureSettings& settings) override {
        settings_ = settings;
        return stream_ ? stream_->update(settings) : temporary("the capture stream is not running");
    }
    void stop() override {
        if (stream_) {
            stream_->stop();
        }
    }

  private:
    std::shared_ptr<MutterDesktop> desktop_;
    const std::uint32_t displayId_;
    const PipeWireCaptureStream::Options options_;
    CaptureSettings settings_;
    Receivers receivers_;
    std::unique_ptr<PipeWireCaptureStream> stream_;
};

}  // namespace

std::vector<ActiveDisplay> MutterDisplayServices::activeDisplays() {
    const auto monitors = desktop_->monitors();
    std::vector<ActiveDisplay> out;
    for (const auto& entry : monitors) {
        ActiveDisplay display;
        display.id = entry.id;
        display.bounds = entry.monitor.bounds;
        display.isPrimary = entry.monitor.isPrimary;
        display.isBuiltIn = entry.monitor.isBuiltIn;
        for (const auto& other : monitors) {
            if (!entry.monitor.mirrorOf.empty() &&
                other.monitor.connector == entry.monitor.mirrorOf) {
                display.mirrorOf = other.id;
            }
        }
        out.push_back(display);
    }
    return out;
}

bool MutterCaptureService::permissionGranted() {
    return options_.desktop->active();
}

CaptureService::Displays MutterCaptureService::displays() {
    if (!options_.desktop->active()) {
        return temporary("mutter's remote desktop session is not running");
    }
    std::vector<CaptureDisplay> list;
    for (const auto& entry : options_.desktop->monitors()) {
        list.push_back(CaptureDisplay{entry.id,
                                      static_cast<int>(std::lround(entry.monitor.bounds.width)),
                                      static_cast<int>(std::lround(entry.monitor.bounds.height))});
    }
    return list;
}

CaptureService::Stream MutterCaptureService::createStream(const CaptureDisplay& display,
                                                          const CaptureSettings& settings,
                                                          CaptureStream::Receivers receivers) {
    PipeWireCaptureStream::Options video;
    video.neverCapture = options_.neverCapture;
    if (auto pointer = options_.pointer) {
        video.onPointer = [pointer](std::optional<PointerPosition> position) {
            if (position) {
                pointer->set(position);
            }
        };
    }
    auto onAudio = receivers.onAudio;
    receivers.onAudio = nullptr;
    auto stream = std::make_shared<MutterCaptureStream>(
        options_.desktop, display.id, std::move(video), settings, std::move(receivers));
    return std::make_shared<SystemAudioCaptureStream>(std::move(stream), options_.audio,
                                                      settings.audio, std::move(onAudio));
}

}  // namespace quelm
