#pragma once

namespace quelm {

// A position in some view's or picture's units, y growing downwards.
struct Point {
    double x = 0;
    double y = 0;

    friend bool operator==(const Point&, const Point&) = default;
};

// An axis-aligned rectangle: origin at the top-left corner, then its size.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    constexpr double minX() const { return x; }
    constexpr double minY() const { return y; }
    constexpr double maxX() const { return x + width; }
    constexpr double maxY() const { return y + height; }

    friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace quelm
