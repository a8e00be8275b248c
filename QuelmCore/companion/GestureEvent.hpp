#pragma once

#include <variant>

#include "QuelmCore/companion/Geometry.hpp"

namespace quelm {

namespace GestureCase {
// Move the pointer by this much.
struct Move {
    double dx = 0;
    double dy = 0;
    friend bool operator==(const Move&, const Move&) = default;
};
struct Scroll {
    double dx = 0;
    double dy = 0;
    friend bool operator==(const Scroll&, const Scroll&) = default;
};
// Two-finger scrolling ended with this release velocity (points/s; 0, 0 for none).
struct ScrollEnded {
    double vx = 0;
    double vy = 0;
    friend bool operator==(const ScrollEnded&, const ScrollEnded&) = default;
};
// The finger spread changed by `ratio` since the last pinch event, around `center`.
struct Pinch {
    double ratio = 1;
    Point center;
    friend bool operator==(const Pinch&, const Pinch&) = default;
};
// A tap: one finger clicks the left button, two fingers the right.
struct Click {
    bool right = false;
    friend bool operator==(const Click&, const Click&) = default;
};
// Three-finger horizontal swipe; toRight when the fingers moved left.
struct SwitchSpace {
    bool toRight = false;
    friend bool operator==(const SwitchSpace&, const SwitchSpace&) = default;
};
struct MoveEnded {
    friend bool operator==(const MoveEnded&, const MoveEnded&) = default;
};
struct DragBegan {
    friend bool operator==(const DragBegan&, const DragBegan&) = default;
};
struct DragEnded {
    friend bool operator==(const DragEnded&, const DragEnded&) = default;
};
// Three-finger swipe upwards.
struct MissionControl {
    friend bool operator==(const MissionControl&, const MissionControl&) = default;
};

using Variant = std::variant<Move, Scroll, ScrollEnded, Pinch, Click, SwitchSpace, MoveEnded,
                             DragBegan, DragEnded, MissionControl>;
}  // namespace GestureCase

// What the gesture engine makes of the touches, e.g. `GestureEvent::Click{true}`.
struct GestureEvent : GestureCase::Variant {
    using Variant = GestureCase::Variant;
    using Variant::Variant;
    using Variant::operator=;

    using Move = GestureCase::Move;
    using Scroll = GestureCase::Scroll;
    using ScrollEnded = GestureCase::ScrollEnded;
    using Pinch = GestureCase::Pinch;
    using Click = GestureCase::Click;
    using SwitchSpace = GestureCase::SwitchSpace;
    using MoveEnded = GestureCase::MoveEnded;
    using DragBegan = GestureCase::DragBegan;
    using DragEnded = GestureCase::DragEnded;
    using MissionControl = GestureCase::MissionControl;

    friend bool operator==(const GestureEvent&, const GestureEvent&) = default;
};

}  // namespace quelm
