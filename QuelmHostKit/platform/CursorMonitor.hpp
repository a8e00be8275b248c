#pragma once

#include <optional>

namespace quelm {

// A pointer position in the global display space (root-window pixels, y growing downwards).
struct PointerPosition {
    double x = 0;
    double y = 0;
    friend bool operator==(const PointerPosition&, const PointerPosition&) = default;
};

// Where the system's pointer is. The platform keeps the value up to date on its own thread;
// reading it is a memory read, safe on any queue of the logic.
class CursorMonitor {
  public:
    virtual ~CursorMonitor() = default;

    // The latest known position; nothing before the first one is known or once the platform
    // cannot tell any more.
    virtual std::optional<PointerPosition> pointerPosition() = 0;
};

}  // namespace quelm
