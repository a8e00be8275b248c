#pragma once

#include <cstdint>
#include <vector>

namespace quelm {

// A rectangle in the global display space: the root window's coordinates, y growing downwards.
struct DisplayRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    friend bool operator==(const DisplayRect&, const DisplayRect&) = default;
};

// One attached display as the platform describes it.
struct ActiveDisplay {
    // Non-zero, stable while the display stays attached.
    std::uint32_t id = 0;
    DisplayRect bounds;
    // The user's primary display.
    bool isPrimary = false;
    // A laptop's own panel.
    bool isBuiltIn = false;
    // The display whose picture this one repeats, or 0.
    std::uint32_t mirrorOf = 0;

    friend bool operator==(const ActiveDisplay&, const ActiveDisplay&) = default;
};

// The displays attached to this machine. Implementations are thread-safe and answer from
// memory: the platform's change notifications keep the list current, so the logic's queues may
// ask as often as they like.
class DisplayServices {
  public:
    virtual ~DisplayServices() = default;

    // The attached displays in the platform's order; empty when the platform never could say.
    // After the platform went away, the last list it gave.
    virtual std::vector<ActiveDisplay> activeDisplays() = 0;
};

}  // namespace quelm
