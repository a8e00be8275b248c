#pragma once

#include <optional>

#include "QuelmHostKit/platform/CursorMonitor.hpp"
#include "QuelmHostKit/platform/Replaceable.hpp"

namespace quelm {

// The pointer as whichever CursorMonitor is current sees it; nothing without one.
class ReplaceableCursorMonitor final : public CursorMonitor, public Replaceable<CursorMonitor> {
  public:
    using Replaceable::Replaceable;

    std::optional<PointerPosition> pointerPosition() override {
        const auto monitor = current();
        return monitor ? monitor->pointerPosition() : std::nullopt;
    }
};

}  // namespace quelm
