#pragma once

#include <optional>
#include <span>
#include <vector>

#include "QuelmCore/companion/Geometry.hpp"
#include "QuelmCore/companion/GestureConfig.hpp"
#include "QuelmCore/companion/GestureEvent.hpp"

namespace quelm {

// Interprets the touches on the companion's trackpad surface: pointer motion, taps, drags,
// two-finger scrolling and pinching, three-finger swipes. Fed the current touch points at every
// touch change; answers the events in order.
//
// Single owner, single thread; not synchronised. Times are seconds on one monotonic clock,
// positions are view points with y growing downwards.
class GestureEngine final {
  public:
    explicit GestureEngine(GestureConfig config = {});

    const GestureConfig& config() const { return config_; }
    void setConfig(const GestureConfig& config) { config_ = config; }

    std::vector<GestureEvent> update(std::span<const Point> points, double time);
    // Called from the owner's timer while a finger rests; checks the elapsed time itself.
    std::vector<GestureEvent> holdElapsed(double time);
    // The touches were cancelled by the system: closes the gesture, never with a click.
    std::vector<GestureEvent> cancel();

    Point gestureOrigin() const { return gestureOrigin_; }
    Point touchPoint() const { return lastCentroid_; }
    // 0 when idle, else the highest finger count of the running gesture (1 to 3).
    int level() const { return level_; }

  private:
    enum class TwoMode { undecided, scroll, pinch };
    struct Sample {
        double time;
        double x;
        double y;
    };
    using Events = std::vector<GestureEvent>;

    void enterLevel(int level, double time);
    void startSegment(std::span<const Point> points, Point centroid, double time);
    Events endLevel() const;
    Events finish(double time);
    void resetGesture();
    Events oneFingerStep(Point motion, double time, double previousTime);
    Events twoFingerStep(std::span<const Point> points, Point centroid, Point motion, double time);
    Events decideTwoFingerMode(std::span<const Point> points, Point centroid);
    Events swipeStep();
    GestureEvent pointerMove(double dx, double dy, double dt) const;
    GestureEvent::ScrollEnded releaseVelocity(double time) const;

    GestureConfig config_;
    int level_ = 0;
    int fingerCount_ = 0;
    double gestureStart_ = 0;
    double levelStart_ = 0;
    double lastTime_ = 0;
    Point lastCentroid_;
    Point gestureOrigin_;
    Point segmentCentroid_;
    double segmentSpread_ = 0;
    double gestureX_ = 0;
    double gestureY_ = 0;
    double maxTravel_ = 0;
    double levelX_ = 0;
    double levelY_ = 0;
    bool pointerMoving_ = false;
    TwoMode twoMode_ = TwoMode::undecided;
    double pinchDistance_ = 0;
    // Scroll travel of the level, already multiplied by scrollGain.
    double scrollX_ = 0;
    double scrollY_ = 0;
    std::vector<Sample> samples_;
    double lastScrollMotion_ = 0;
    bool dragging_ = false;
    bool swipeDone_ = false;
    std::optional<double> lastTapEnd_;
    bool tapDragArmed_ = false;
};

}  // namespace quelm
