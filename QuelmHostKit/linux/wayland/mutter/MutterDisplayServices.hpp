#pragma once

#include <memory>

#include "QuelmHostKit/linux/wayland/mutter/MutterDesktop.hpp"
#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"
#include "QuelmHostKit/platform/SystemAudioSource.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class WaylandPointer;

// The monitors of mutter's DisplayConfig, as the session last read them.
class MutterDisplayServices final : public DisplayServices {
  public:
    explicit MutterDisplayServices(std::shared_ptr<MutterDesktop> desktop)
        : desktop_(std::move(desktop)) {}
    std::vector<ActiveDisplay> activeDisplays() override;

  private:
    std::shared_ptr<MutterDesktop> desktop_;
};

// Screen capture through mutter's ScreenCast: each display's recording in the remote desktop
// session is a PipeWire node that a PipeWireCaptureStream reads; system audio comes from the
// given source while the settings ask for it.
class MutterCaptureService final : public CaptureService {
  public:
    struct Options {
        std::shared_ptr<MutterDesktop> desktop;
        std::shared_ptr<SystemAudioSource> audio;
        std::shared_ptr<NeverCaptureRegistry> neverCapture;
        std::shared_ptr<WaylandPointer> pointer;
    };
    // How long a start waits for the session's recording of the display.
    static constexpr double streamTimeout = 5.0;

    explicit MutterCaptureService(Options options) : options_(std::move(options)) {}

    // Mutter's own remote desktop needs no consent: a running session is the permission.
    bool permissionGranted() override;
    Displays displays() override;
    Stream createStream(const CaptureDisplay& display, const CaptureSettings& settings,
                        CaptureStream::Receivers receivers) override;

  private:
    const Options options_;
};

}  // namespace quelm
