#pragma once

#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/Replaceable.hpp"

namespace quelm {

// Captures through whichever CaptureService is current. Without one the screen is away for a
// while (its server is coming back), which is no refusal: displays and streams fail as
// temporary. A stream keeps the service that made it.
class ReplaceableCaptureService final : public CaptureService, public Replaceable<CaptureService> {
  public:
    using Replaceable::Replaceable;

    bool permissionGranted() override {
        const auto service = current();
        return !service || service->permissionGranted();
    }
    Displays displays() override {
        if (const auto service = current()) {
            return service->displays();
        }
        return away();
    }
    Stream createStream(const CaptureDisplay& display, const CaptureSettings& settings,
                        CaptureStream::Receivers receivers) override {
        if (const auto service = current()) {
            return service->createStream(display, settings, std::move(receivers));
        }
        return away();
    }
    void prepare(const CaptureDisplay& display, const CaptureSettings& likely) override {
        if (const auto service = current()) {
            service->prepare(display, likely);
        }
    }
    void discardPrepared() override {
        if (const auto service = current()) {
            service->discardPrepared();
        }
    }

  private:
    static CaptureStatus away() {
        return CaptureStatus::failure(CaptureStatus::Kind::temporary, "the screen is away");
    }
};

}  // namespace quelm
