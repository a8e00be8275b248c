#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "QuelmHostKit/linux/x11/X11Registration.hpp"
#include "QuelmHostKit/platform/CursorMonitor.hpp"

namespace quelm {

// The pointer position, read on the event pump's thread (XQueryPointer on the pump's own
// connection) every `interval` while someone reads it, and kept in memory for the readers.
// The core protocol reports pointer motion only over windows one selects on, so a cheap poll
// is what follows the pointer everywhere. Polling starts at the first read and stops after two
// seconds without one; a read after such a pause gives the position of the pause (the next
// tick brings it up to date). Nothing once the server is lost. While screen capture reads the
// pointer itself and reports it, the poll leaves the server alone.
//
// Thread-safe.
class X11CursorMonitor final : public CursorMonitor,
                               public std::enable_shared_from_this<X11CursorMonitor> {
  public:
    static std::shared_ptr<X11CursorMonitor> create(std::shared_ptr<X11EventPump> pump,
                                                    double interval = 1.0 / 30);
    X11CursorMonitor(const X11CursorMonitor&) = delete;
    X11CursorMonitor& operator=(const X11CursorMonitor&) = delete;

    std::optional<PointerPosition> pointerPosition() override;
    // A position read elsewhere (by capture, on its own connection); any thread.
    void report(PointerPosition position);

  private:
    X11CursorMonitor(std::shared_ptr<X11EventPump> pump, double interval);
    // On the pump's thread.
    void startPolling();
    void poll(X11Connection& connection);

    const std::shared_ptr<X11EventPump> pump_;
    const double interval_;
    std::mutex mutex_;
    std::optional<PointerPosition> position_;
    double lastRead_ = 0;
    double reportedAt_ = -1e9;
    bool polling_ = false;
    bool lost_ = false;
    X11Registration lostListener_;
    // Only touched on the pump's thread.
    X11Registration timer_;
};

}  // namespace quelm
