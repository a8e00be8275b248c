#pragma once

#include <memory>

#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/SystemAudioSource.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

class WaylandConnection;

// Screen capture on a wlroots compositor: its outputs are the displays (same ids as the
// display services), each captured by a WlrScreencopyStream; system audio comes from the
// given source while the settings ask for it. Thread-safe.
class WlrCaptureService final : public CaptureService {
  public:
    struct Options {
        std::shared_ptr<WaylandConnection> connection;
        // May be null: audio then stays off.
        std::shared_ptr<SystemAudioSource> audio;
        std::shared_ptr<NeverCaptureRegistry> neverCapture;
    };

    explicit WlrCaptureService(Options options);

    // wlroots asks no consent: true whenever the session has a compositor connection.
    bool permissionGranted() override;
    Displays displays() override;
    Stream createStream(const CaptureDisplay& display, const CaptureSettings& settings,
                        CaptureStream::Receivers receivers) override;

  private:
    const Options options_;
};

}  // namespace quelm
