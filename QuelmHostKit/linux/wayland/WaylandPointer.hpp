#pragma once

#include <mutex>
#include <optional>

#include "QuelmHostKit/platform/CursorMonitor.hpp"

namespace quelm {

// Where the pointer is on a Wayland desktop, where no client may ask: the compositor tells the
// screen cast (cursor metadata), and the host knows where it put the pointer itself. Whichever
// came last wins. Thread-safe.
class WaylandPointer final : public CursorMonitor {
  public:
    std::optional<PointerPosition> pointerPosition() override {
        std::lock_guard lock(mutex_);
        return position_;
    }
    void set(std::optional<PointerPosition> position) {
        std::lock_guard lock(mutex_);
        position_ = position;
    }

  private:
    std::mutex mutex_;
    std::optional<PointerPosition> position_;
};

}  // namespace quelm
