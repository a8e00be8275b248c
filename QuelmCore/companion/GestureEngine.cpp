#include "QuelmCore/companion/GestureEngine.hpp"

#include <algorithm>
#include <cmath>

namespace quelm {
namespace {

Point centroidOf(std::span<const Point> points) {
    Point sum;
    for (const auto& p : points) {
        sum.x += p.x;
        sum.y += p.y;
    }
    const auto n = static_cast<double>(points.size());
    return {sum.x / n, sum.y / n};
}

// Twice the mean distance of the points from their centroid; 0 for fewer than two.
double spreadOf(std::span<const Point> points, Point centroid) {
    if (points.size() < 2) {
        return 0;
    }
    double total = 0;
    for (const auto& p : points) {
        total += std::hypot(p.x - centroid.x, p.y - centroid.y);
    }
    return 2 * total / static_cast<double>(points.size());
}

bool isZero(Point d) {
    return d.x == 0 && d.y == 0;
}

}  // namespace

GestureEngine::GestureEngine(GestureConfig config) : config_(std::move(config)) {}

std::vector<GestureEvent> GestureEngine::update(std::span<const Point> points, double time) {
    const int n = static_cast<int>(points.size());
    if (n == 0) {
        return finish(time);
    }
    const Point c = centroidOf(points);
    const int target = std::min(n, 3);

    if (level_ == 0) {
        gestureStart_ = time;
        tapDragArmed_ = n == 1 && lastTapEnd_ && time - *lastTapEnd_ <= config_.tapDragWindow;
        lastTapEnd_.reset();
        enterLevel(target, time);
        startSegment(points, c, time);
        gestureOrigin_ = c;
        return {};
    }

    if (n != fingerCount_) {
        // The level only rises while fingers stay down.
        Events events;
        if (level_ < target) {
            events = endLevel();
            enterLevel(target, time);
            gestureOrigin_ = c;
        }
        startSegment(points, c, time);
        return events;
    }

    const Point d{c.x - lastCentroid_.x, c.y - lastCentroid_.y};
    const double previousTime = lastTime_;
    lastTime_ = time;
    lastCentroid_ = c;
    gestureX_ += d.x;
    gestureY_ += d.y;
    maxTravel_ = std::max(maxTravel_, std::hypot(gestureX_, gestureY_));
    levelX_ += d.x;
    levelY_ += d.y;

    switch (level_) {
        case 1:
            return oneFingerStep(d, time, previousTime);
        case 2:
            return twoFingerStep(points, c, d, time);
        default:
            return swipeStep();
    }
}

std::vector<GestureEvent> GestureEngine::holdElapsed(double time) {
    const auto& hold = config_.holdToDrag;
    if (!hold || level_ != 1 || fingerCount_ != 1 || pointerMoving_ || dragging_ ||
        maxTravel_ > config_.tapMaxTravel || time - levelStart_ < *hold) {
        return {};
    }
    dragging_ = true;
    pointerMoving_ = true;
    return {GestureEvent::DragBegan{}};
}

std::vector<GestureEvent> GestureEngine::cancel() {
    Events events = endLevel();
    resetGesture();
    lastTapEnd_.reset();
    return events;
}

void GestureEngine::enterLevel(int level, double time) {
    level_ = level;
    levelStart_ = time;
    levelX_ = 0;
    levelY_ = 0;
    pointerMoving_ = false;
    twoMode_ = TwoMode::undecided;
    scrollX_ = 0;
    scrollY_ = 0;
    pinchDistance_ = 0;
    samples_.clear();
    lastScrollMotion_ = time;
    dragging_ = false;
    swipeDone_ = false;
}

void GestureEngine::startSegment(std::span<const Point> points, Point centroid, double time) {
    const int oldCount = fingerCount_;
    fingerCount_ = static_cast<int>(points.size());
    lastCentroid_ = centroid;
    segmentCentroid_ = centroid;
    lastTime_ = time;
    segmentSpread_ = spreadOf(points, centroid);
    if (twoMode_ == TwoMode::pinch && fingerCount_ >= 2) {
        pinchDistance_ = segmentSpread_;
    }
    if (level_ == 2 && fingerCount_ > oldCount && fingerCount_ >= 2) {
        samples_.assign(1, Sample{time, scrollX_, scrollY_});
    }
}

GestureEngine::Events GestureEngine::endLevel() const {
    if (level_ == 2 && twoMode_ == TwoMode::scroll) {
        return {GestureEvent::ScrollEnded{0, 0}};
    }
    if (level_ == 1) {
        if (dragging_) {
            return {GestureEvent::DragEnded{}};
        }
        if (pointerMoving_) {
            return {GestureEvent::MoveEnded{}};
        }
    }
    return {};
}

GestureEngine::Events GestureEngine::finish(double time) {
    if (level_ == 0) {
        return {};
    }
    const bool tap =
        time - gestureStart_ <= config_.tapMaxDuration && maxTravel_ <= config_.tapMaxTravel;
    Events events;
    std::optional<double> tapEnd;
    if (level_ == 1) {
        events = endLevel();
        if (tap) {
            events.push_back(GestureEvent::Click{false});
            // A tap that was itself armed by a tap (a double tap) arms nothing further.
            if (!tapDragArmed_) {
                tapEnd = time;
            }
        }
    } else if (level_ == 2 && twoMode_ == TwoMode::scroll) {
        if (tap) {
            events = {GestureEvent::ScrollEnded{0, 0}, GestureEvent::Click{true}};
        } else {
            events = {releaseVelocity(time)};
        }
    } else if (level_ == 2 && twoMode_ == TwoMode::undecided && tap) {
        events = {GestureEvent::Click{true}};
    }
    resetGesture();
    lastTapEnd_ = tapEnd;
    return events;
}

void GestureEngine::resetGesture() {
    enterLevel(0, 0);
    tapDragArmed_ = false;
    fingerCount_ = 0;
    gestureX_ = 0;
    gestureY_ = 0;
    maxTravel_ = 0;
}

GestureEngine::Events GestureEngine::oneFingerStep(Point d, double time, double previousTime) {
    if (pointerMoving_) {
        if (isZero(d)) {
            return {};
        }
        return {pointerMove(d.x, d.y, time - previousTime)};
    }
    if (std::hypot(levelX_, levelY_) < config_.moveStartDistance) {
        return {};
    }
    pointerMoving_ = true;
    // The whole travel of the level moves the pointer, so nothing below the threshold is lost.
    GestureEvent move = pointerMove(levelX_, levelY_, time - levelStart_);
    const bool held = config_.holdToDrag && time - levelStart_ >= *config_.holdToDrag;
    if (tapDragArmed_ || held) {
        dragging_ = true;
        return {GestureEvent::DragBegan{}, move};
    }
    return {move};
}

GestureEngine::Events GestureEngine::twoFingerStep(std::span<const Point> points, Point c, Point d,
                                                   double time) {
    if (fingerCount_ < 2) {
        return {};
    }
    scrollX_ += d.x * config_.scrollGain;
    scrollY_ += d.y * config_.scrollGain;
    samples_.push_back(Sample{time, scrollX_, scrollY_});
    while (samples_.size() > 2 && samples_[1].time < time - config_.glideWindow) {
        samples_.erase(samples_.begin());
    }
    if (!isZero(d)) {
        lastScrollMotion_ = time;
    }

    switch (twoMode_) {
        case TwoMode::scroll:
            if (isZero(d)) {
                return {};
            }
            return {GestureEvent::Scroll{d.x * config_.scrollGain, d.y * config_.scrollGain}};
        case TwoMode::pinch: {
            const double spread = spreadOf(points, c);
            if (pinchDistance_ > 0 && spread > 0 && spread != pinchDistance_) {
                const double ratio = spread / pinchDistance_;
                pinchDistance_ = spread;
                return {GestureEvent::Pinch{ratio, c}};
            }
            return {};
        }
        case TwoMode::undecided:
            return decideTwoFingerMode(points, c);
    }
    return {};
}

GestureEngine::Events GestureEngine::decideTwoFingerMode(std::span<const Point> points, Point c) {
    const double travel = std::hypot(c.x - segmentCentroid_.x, c.y - segmentCentroid_.y);
    const double spread = spreadOf(points, c);
    const double spreadChange = std::abs(spread - segmentSpread_);

    bool translationDominates = true;
    double threshold = std::min(config_.scrollDecisionDistance, 3.0);
    if (config_.allowsPinch) {
        if (config_.pinchDominance * travel <= spreadChange &&
            spreadChange >= config_.pinchDecisionDistance && segmentSpread_ > 0 && spread > 0) {
            twoMode_ = TwoMode::pinch;
            pinchDistance_ = spread;
            return {GestureEvent::Pinch{spread / segmentSpread_, c}};
        }
        translationDominates = config_.pinchDominance * travel > spreadChange;
        threshold = config_.scrollDecisionDistance;
    }
    if (travel >= config_.scrollCertainDistance || (translationDominates && travel >= threshold)) {
        twoMode_ = TwoMode::scroll;
        // The whole travel of the segment comes out at once.
        return {GestureEvent::Scroll{(c.x - segmentCentroid_.x) * config_.scrollGain,
                                     (c.y - segmentCentroid_.y) * config_.scrollGain}};
    }
    return {};
}

GestureEngine::Events GestureEngine::swipeStep() {
    if (swipeDone_) {
        return {};
    }
    const double ax = std::abs(levelX_);
    const double ay = std::abs(levelY_);
    if (std::max(ax, ay) < config_.swipeDistance) {
        return {};
    }
    swipeDone_ = true;
    if (ax > ay) {
        return {GestureEvent::SwitchSpace{levelX_ < 0}};
    }
    if (levelY_ < 0) {
        return {GestureEvent::MissionControl{}};
    }
    return {};
}

GestureEvent GestureEngine::pointerMove(double dx, double dy, double dt) const {
    double gain = config_.pointerGain;
    if (config_.pointerAcceleration) {
        const double speed = std::hypot(dx, dy) / std::max(dt, 1.0 / 240);
        const double start = config_.accelerationStartSpeed;
        const double full = std::max(config_.accelerationFullSpeed, start + 1);
        const double s = std::clamp((speed - start) / (full - start), 0.0, 1.0);
        gain *= 1 + (std::max(config_.maxPointerBoost, 1.0) - 1) * s * s * (3 - 2 * s);
    }
    return GestureEvent::Move{dx * gain, dy * gain};
}

GestureEvent::ScrollEnded GestureEngine::releaseVelocity(double time) const {
    if (samples_.empty() || time - lastScrollMotion_ > config_.glidePauseLimit) {
        return {0, 0};
    }
    const auto last = samples_.size() - 1;
    const Sample& newest = samples_[last];
    std::size_t from = last;
    for (std::size_t i = 0; i < samples_.size(); ++i) {
        if (samples_[i].time >= newest.time - config_.glideWindow) {
            from = i;
            break;
        }
    }
    if (from == last) {
        if (last == 0) {
            return {0, 0};
        }
        from = last - 1;
    }
    const Sample& oldest = samples_[from];
    const double dt = newest.time - oldest.time;
    if (dt <= 0) {
        return {0, 0};
    }
    double vx = (newest.x - oldest.x) / dt;
    double vy = (newest.y - oldest.y) / dt;
    const double speed = std::hypot(vx, vy);
    if (speed < config_.minGlideSpeed) {
        return {0, 0};
    }
    if (speed > config_.maxGlideSpeed) {
        vx *= config_.maxGlideSpeed / speed;
        vy *= config_.maxGlideSpeed / speed;
    }
    return {vx, vy};
}

}  // namespace quelm
