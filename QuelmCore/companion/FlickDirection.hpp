#pragma once

#include <array>

namespace quelm {

// The direction of a swipe on a flick-keyboard key; the raw values index a key's outputs.
enum class FlickDirection { center = 0, left = 1, up = 2, right = 3, down = 4 };

inline constexpr std::array<FlickDirection, 5> allFlickDirections{
    FlickDirection::center, FlickDirection::left, FlickDirection::up, FlickDirection::right,
    FlickDirection::down};

constexpr int rawValue(FlickDirection direction) {
    return static_cast<int>(direction);
}

// The direction of a swipe of (dx, dy) in screen coordinates (y grows downwards): center when
// shorter than the threshold; an exact diagonal counts as horizontal.
FlickDirection flickDirection(double dx, double dy, double threshold);

}  // namespace quelm
