#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "QuelmHostKit/platform/HostEnvironment.hpp"
#include "tests/fakes/FakeCursorMonitor.hpp"
#include "tests/fakes/FakeDisplayServices.hpp"

namespace quelm::test {

// A host environment of fakes: displays and a pointer a test sets, no other services unless a
// test hands them in.
class FakeHostEnvironment final : public HostEnvironment {
  public:
    FakeHostEnvironment();

    std::string unavailableReason() const override { return reason; }
    std::shared_ptr<DisplayServices> displayServices() override { return displays; }
    std::shared_ptr<CursorMonitor> cursorMonitor() override { return cursor; }
    std::shared_ptr<CaptureService> captureService() override { return capture; }
    std::shared_ptr<SystemAudioSource> systemAudioSource() override { return audio; }
    void shutdown() override { ++shutdowns; }

    std::string reason;
    std::shared_ptr<FakeDisplayServices> displays;
    std::shared_ptr<FakeCursorMonitor> cursor;
    std::shared_ptr<CaptureService> capture;
    std::shared_ptr<SystemAudioSource> audio;
    std::atomic<int> shutdowns{0};
};

}  // namespace quelm::test
