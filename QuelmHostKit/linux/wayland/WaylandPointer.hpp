#pragma once

#include <mutex>
#include <optional>

#include "QuelmHostKit/platform/CursorMonitor.hpp"

namespace quelm {

// Where the pointer is on a Wayland desktop, where no client may ask: where the host's own
// pointer last put it, and on GNOME also what the screen cast's cursor metadata tells. Whichever
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
