#pragma once

#include "QuelmCore/companion/Geometry.hpp"

namespace quelm {

// Zoom factor and visible centre of the host's picture on the companion. Positions are picture
// units: the whole picture is the unit square, y growing downwards. The visible part is a
// square of side 1 / scale in these units; every operation keeps it inside the picture.
struct ZoomState {
    static constexpr double minScale = 1.0;
    static constexpr double maxScale = 6.0;
    // Fraction of the visible width kept between a followed point and the edges.
    static constexpr double followMargin = 0.15;

    double scale = 1.0;
    Point center{0.5, 0.5};

    bool isZoomed() const { return scale > 1.001; }
    Rect visible() const;

    // A point given as fractions (0 to 1) of the view, in picture units.
    Point contentPoint(Point viewFraction) const;
    // Zooms by `ratio` around `anchor` (picture units), keeping the anchor where it is in the
    // view as far as the picture's edges allow. A ratio that is not positive and finite, or an
    // anchor that is not a number, does nothing.
    void pinch(double ratio, Point anchor);
    // Moves the visible part by a distance in fractions of the view; moving the fingers right
    // brings the left part of the picture into view. Distances that are not numbers do nothing.
    void pan(double dx, double dy);
    // Minimum edges inclusive, maximum edges exclusive.
    bool contains(Point p) const;
    // Scrolls the visible part so that `p` stays away from its edges; true when the centre
    // moved.
    bool follow(Point p);
    void reset();
    // The frame of the whole picture inside a view of bounds `view`, relative to the view's own
    // origin.
    Rect pictureFrame(Rect view) const;

    friend bool operator==(const ZoomState&, const ZoomState&) = default;

  private:
    void clampCenter();
};

}  // namespace quelm
