#pragma once

#include <memory>
#include <string>

#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/CursorMonitor.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"
#include "QuelmHostKit/platform/Pasteboard.hpp"
#include "QuelmHostKit/platform/SystemAudioSource.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

// The platform services of one host process, created together and ended together. Only the
// application picks the implementation (the Linux desktop, or a fake in tests); everything else
// receives the services it needs from here.
//
// Each service has one accessor that returns the same object every time, or nullptr where the
// platform offers none (no display, no sound server). A new service is one more accessor with
// a nullptr default, so environments that lack it need no change.
//
// Thread: accessors may be called from any thread; shutdown() from the thread that created the
// environment.
class HostEnvironment {
  public:
    virtual ~HostEnvironment() = default;

    // Why the host cannot serve a companion here ("no X display: ..."); empty when it can.
    virtual std::string unavailableReason() const = 0;

    virtual std::shared_ptr<DisplayServices> displayServices() = 0;
    virtual std::shared_ptr<CursorMonitor> cursorMonitor() = 0;
    virtual std::shared_ptr<CaptureService> captureService() { return nullptr; }
    virtual std::shared_ptr<SystemAudioSource> systemAudioSource() { return nullptr; }
    // Synthetic input; nullptr where the platform cannot inject it.
    virtual std::shared_ptr<EventPoster> eventPoster() { return nullptr; }
    // The desktop's clipboard answering on `mainQueue`, where the session brings its own;
    // nullptr leaves the choice to the application.
    virtual std::shared_ptr<Pasteboard> createPasteboard(std::shared_ptr<SerialQueue> mainQueue) {
        return nullptr;
    }

    // Stops the platform's threads. The services stay callable and answer from what they last
    // knew; nothing they call back runs any more.
    virtual void shutdown() = 0;
};

}  // namespace quelm
