#include "QuelmCore/companion/ZoomState.hpp"

#include <algorithm>
#include <cmath>

namespace quelm {
namespace {

double clampedCenter(double value, double scale) {
    const double half = 0.5 / scale;
    return std::clamp(value, half, 1 - half);
}

}  // namespace

Rect ZoomState::visible() const {
    const double side = 1 / scale;
    return {center.x - 0.5 / scale, center.y - 0.5 / scale, side, side};
}

Point ZoomState::contentPoint(Point viewFraction) const {
    const Rect v = visible();
    return {v.minX() + viewFraction.x * v.width, v.minY() + viewFraction.y * v.height};
}

void ZoomState::pinch(double ratio, Point anchor) {
    // A ratio or anchor that is not a number would leave such a centre for good. An infinite
    // anchor is fine: its place in the view clamps to an edge and the centre to the picture.
    if (!(ratio > 0) || !std::isfinite(ratio) || std::isnan(anchor.x) || std::isnan(anchor.y)) {
        return;
    }
    const Rect v = visible();
    const double fx = std::clamp((anchor.x - v.minX()) / v.width, 0.0, 1.0);
    const double fy = std::clamp((anchor.y - v.minY()) / v.height, 0.0, 1.0);
    const double s = std::clamp(scale * ratio, minScale, maxScale);
    scale = s;
    center = {clampedCenter(anchor.x - fx / s + 0.5 / s, s),
              clampedCenter(anchor.y - fy / s + 0.5 / s, s)};
}

void ZoomState::pan(double dx, double dy) {
    // Infinite distances just push the centre to an edge.
    if (std::isnan(dx) || std::isnan(dy)) {
        return;
    }
    center.x -= dx / scale;
    center.y -= dy / scale;
    clampCenter();
}

bool ZoomState::contains(Point p) const {
    const Rect v = visible();
    return p.x >= v.minX() && p.x < v.maxX() && p.y >= v.minY() && p.y < v.maxY();
}

bool ZoomState::follow(Point p) {
    if (!isZoomed()) {
        return false;
    }
    const Point before = center;
    const Rect v = visible();
    const double m = v.width * followMargin;
    if (p.x < v.minX() + m) {
        center.x -= v.minX() + m - p.x;
    }
    if (p.x > v.maxX() - m) {
        center.x += p.x - (v.maxX() - m);
    }
    if (p.y < v.minY() + m) {
        center.y -= v.minY() + m - p.y;
    }
    if (p.y > v.maxY() - m) {
        center.y += p.y - (v.maxY() - m);
    }
    clampCenter();
    return center != before;
}

void ZoomState::reset() {
    *this = ZoomState{};
}

Rect ZoomState::pictureFrame(Rect view) const {
    const Rect v = visible();
    return {-scale * view.width * v.minX(), -scale * view.height * v.minY(), scale * view.width,
            scale * view.height};
}

void ZoomState::clampCenter() {
    center = {clampedCenter(center.x, scale), clampedCenter(center.y, scale)};
}

}  // namespace quelm
