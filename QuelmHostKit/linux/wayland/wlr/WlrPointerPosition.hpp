#pragma once

#include <mutex>
#include <optional>

#include "QuelmHostKit/platform/CursorMonitor.hpp"

namespace quelm {

// Where the pointer is on a wlroots desktop, as far as the host can know: Wayland tells no
// client where the pointer is, so this is where the host's virtual pointer last put it.
// Thread-safe.
class WlrPointerPosition final : public CursorMonitor {
  public:
    std::optional<PointerPosition> pointerPosition() override {
        std::lock_guard lock(mutex_);
        return position_;
    }
    void moved(PointerPosition position) {
        std::lock_guard lock(mutex_);
        position_ = position;
    }

  private:
    std::mutex mutex_;
    std::optional<PointerPosition> position_;
};

}  // namespace quelm
