#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "QuelmCore/companion/GestureEngine.hpp"
#include "QuelmCore/companion/ScrollMomentum.hpp"

namespace quelm {

// Readable failure output for event lists.
void PrintTo(const GestureEvent& event, std::ostream* os) {
    struct Printer {
        std::ostream& os;
        void operator()(const GestureEvent::Move& e) {
            os << "move(" << e.dx << "," << e.dy << ")";
        }
        void operator()(const GestureEvent::Scroll& e) {
            os << "scroll(" << e.dx << "," << e.dy << ")";
        }
        void operator()(const GestureEvent::ScrollEnded& e) {
            os << "scrollEnded(" << e.vx << "," << e.vy << ")";
        }
        void operator()(const GestureEvent::Pinch& e) {
            os << "pinch(" << e.ratio << " at " << e.center.x << "," << e.center.y << ")";
        }
        void operator()(const GestureEvent::Click& e) { os << "click(right " << e.right << ")"; }
        void operator()(const GestureEvent::SwitchSpace& e) {
            os << "switchSpace(toRight " << e.toRight << ")";
        }
        void operator()(const GestureEvent::MoveEnded&) { os << "moveEnded"; }
        void operator()(const GestureEvent::DragBegan&) { os << "dragBegan"; }
        void operator()(const GestureEvent::DragEnded&) { os << "dragEnded"; }
        void operator()(const GestureEvent::MissionControl&) { os << "missionControl"; }
    };
    std::visit(Printer{*os}, static_cast<const GestureEvent::Variant&>(event));
}

namespace {

using Events = std::vector<GestureEvent>;
using E = GestureEvent;

// One touch update of a scripted timeline: the time and the points down (none = lifted).
struct Step {
    double time;
    std::vector<Point> points;
};

Events play(GestureEngine& engine, const std::vector<Step>& steps) {
    Events all;
    for (const auto& step : steps) {
        auto events = engine.update(step.points, step.time);
        all.insert(all.end(), events.begin(), events.end());
    }
    return all;
}

GestureConfig withoutAcceleration() {
    GestureConfig config;
    config.pointerAcceleration = false;
    return config;
}

// Two fingers 20 points apart, their centroid at (x, y).
std::vector<Point> pair(double x, double y) {
    return {{x - 10, y}, {x + 10, y}};
}
std::vector<Point> trio(double x, double y) {
    return {{x - 10, y}, {x, y}, {x + 10, y}};
}

TEST(GestureEngine, OneFingerLiftDecidesBetweenClickMoveAndNothing) {
    struct Case {
        const char* name;
        double liftTime;
        double travel;
        Events expected;
    };
    const std::vector<Case> cases{
        {"quick short touch clicks", 0.1, 2, {E::Click{false}}},
        {"quick touch that moved ends the move only", 0.1, 7, {E::Move{7, 0}, E::MoveEnded{}}},
        {"slow still touch gives nothing", 0.3, 0, {}},
        {"slow touch that moved ends the move", 0.3, 7, {E::Move{7, 0}, E::MoveEnded{}}},
    };
    for (const auto& c : cases) {
        GestureEngine engine(withoutAcceleration());
        const auto events =
            play(engine, {{0, {{50, 50}}}, {0.05, {{50 + c.travel, 50}}}, {c.liftTime, {}}});
        EXPECT_EQ(events, c.expected) << c.name;
        EXPECT_EQ(engine.level(), 0) << c.name;
    }
}

TEST(GestureEngine, FirstMoveCarriesTheTravelBelowTheThreshold) {
    GestureEngine engine;
    const auto events = play(engine, {{0, {{0, 0}}}, {0.05, {{2, 0}}}, {0.1, {{4, 0}}}});
    // 40 points/s is below the acceleration start, so the whole 4 points come out unscaled.
    EXPECT_EQ(events, (Events{E::Move{4, 0}}));

    const auto next = engine.update(std::vector<Point>{{5, 1}}, 0.2);
    EXPECT_EQ(next, (Events{E::Move{1, 1}}));
    EXPECT_EQ(engine.touchPoint(), (Point{5, 1}));
    EXPECT_EQ(engine.gestureOrigin(), (Point{0, 0}));
}

TEST(GestureEngine, PointerAccelerationFollowsTheSmoothStep) {
    struct Case {
        double distance;  // travelled in 1/60 s
        double gain;
    };
    // 560 points/s is half way between 120 and 1000: 1 + 1.5 * 0.25 * 2.
    const std::vector<Case> cases{{1, 1.0}, {560.0 / 60, 1.75}, {40, 2.5}, {400, 2.5}};
    for (const auto& c : cases) {
        GestureEngine engine;
        play(engine, {{0, {{0, 0}}}, {0.1, {{4, 0}}}});
        const auto events = engine.update(std::vector<Point>{{4 + c.distance, 0}}, 0.1 + 1.0 / 60);
        ASSERT_EQ(events.size(), 1u);
        const auto& move = std::get<E::Move>(events[0]);
        EXPECT_NEAR(move.dx, c.distance * c.gain, 1e-9) << c.distance;
        EXPECT_EQ(move.dy, 0);
    }
}

TEST(GestureEngine, TouchSoonAfterATapDrags) {
    GestureEngine engine(withoutAcceleration());
    EXPECT_EQ(play(engine, {{0, {{0, 0}}}, {0.1, {}}}), (Events{E::Click{false}}));
    const auto drag = play(engine, {{0.3, {{0, 0}}}, {0.35, {{10, 0}}}});
    EXPECT_EQ(drag, (Events{E::DragBegan{}, E::Move{10, 0}}));
    EXPECT_EQ(play(engine, {{0.9, {}}}), (Events{E::DragEnded{}}));
}

TEST(GestureEngine, DoubleTapClicksTwiceAndArmsNoThirdDrag) {
    GestureEngine engine(withoutAcceleration());
    const auto taps = play(engine, {{0, {{0, 0}}}, {0.1, {}}, {0.2, {{0, 0}}}, {0.3, {}}});
    EXPECT_EQ(taps, (Events{E::Click{false}, E::Click{false}}));
    // The third touch comes within the window of the second tap but moves without dragging.
    const auto third = play(engine, {{0.4, {{0, 0}}}, {0.45, {{10, 0}}}, {0.8, {}}});
    EXPECT_EQ(third, (Events{E::Move{10, 0}, E::MoveEnded{}}));
}

TEST(GestureEngine, TapOutsideTheDragWindowDoesNotArm) {
    GestureEngine engine(withoutAcceleration());
    play(engine, {{0, {{0, 0}}}, {0.1, {}}});
    const auto later = play(engine, {{0.41, {{0, 0}}}, {0.45, {{10, 0}}}});
    EXPECT_EQ(later, (Events{E::Move{10, 0}}));
}

TEST(GestureEngine, TwoFingersScrollOnceTheyTravelSixPoints) {
    GestureConfig config;
    config.scrollGain = 2;
    GestureEngine engine(config);
    const auto events = play(engine, {{0, pair(50, 50)},
                                      {0.02, pair(50, 53)},
                                      {0.04, pair(50, 56)},
                                      {0.06, pair(50, 58)},
                                      {0.08, pair(50, 58)}});
    // The deciding scroll carries the whole travel of the segment, then each step its own.
    EXPECT_EQ(events, (Events{E::Scroll{0, 12}, E::Scroll{0, 4}}));
}

TEST(GestureEngine, SpreadingFingersPinchAndNeverClick) {
    GestureEngine engine;
    // Spread 20 -> 45 (change 25) while the centroid moves 2.5 points.
    const auto events = play(engine, {{0, {{100, 100}, {120, 100}}},
                                      {0.05, {{90, 100}, {135, 100}}},
                                      {0.1, {{85, 100}, {140, 100}}},
                                      {0.15, {}}});
    EXPECT_EQ(events,
              (Events{E::Pinch{45.0 / 20, {112.5, 100}}, E::Pinch{55.0 / 45, {112.5, 100}}}));
}

TEST(GestureEngine, WithoutPinchingThreePointsOfTravelScroll) {
    GestureConfig config;
    config.allowsPinch = false;
    GestureEngine engine(config);
    const auto events = play(engine, {{0, {{100, 100}, {120, 100}}},
                                      {0.05, {{88, 100}, {133, 100}}},  // spread +25, travel 0.5
                                      {0.1, {{90.5, 100}, {135.5, 100}}}});
    EXPECT_EQ(events, (Events{E::Scroll{3, 0}}));
}

TEST(GestureEngine, TwoFingerTapClicksRight) {
    GestureEngine engine;
    EXPECT_EQ(play(engine, {{0, pair(50, 50)}, {0.05, pair(51, 50)}, {0.15, {}}}),
              (Events{E::Click{true}}));
    // A quick scroll within tap travel (no pinching, so 3 points decide) still clicks.
    GestureConfig config;
    config.allowsPinch = false;
    GestureEngine small(config);
    EXPECT_EQ(play(small, {{0, pair(50, 50)}, {0.05, pair(53, 50)}, {0.1, {}}}),
              (Events{E::Scroll{3, 0}, E::ScrollEnded{0, 0}, E::Click{true}}));
}

TEST(GestureEngine, ReleaseVelocityOfATwoFingerFlick) {
    struct Case {
        const char* name;
        double stepY;      // travel per 0.01 s
        double liftDelay;  // after the last motion
        E::ScrollEnded expected;
    };
    const std::vector<Case> cases{
        {"fast flick", 10, 0.01, {0, 1000}},
        {"capped at 4000", 100, 0.01, {0, 4000}},
        {"pause before lifting", 10, 0.15, {0, 0}},
    };
    for (const auto& c : cases) {
        GestureEngine engine;
        std::vector<Step> steps{{0, pair(50, 50)}};
        for (int i = 1; i <= 3; ++i) {
            steps.push_back({0.01 * i, pair(50, 50 + c.stepY * i)});
        }
        steps.push_back({0.03 + c.liftDelay, {}});
        const auto events = play(engine, steps);
        ASSERT_FALSE(events.empty()) << c.name;
        const auto& ended = std::get<E::ScrollEnded>(events.back());
        EXPECT_NEAR(ended.vx, c.expected.vx, 1e-6) << c.name;
        EXPECT_NEAR(ended.vy, c.expected.vy, 1e-6) << c.name;
    }
}

TEST(GestureEngine, SlowScrollEndsWithoutGlide) {
    GestureEngine engine;
    // 8 points in 0.1 s is 80 points/s, below the glide minimum.
    const auto events = play(engine, {{0, pair(50, 50)}, {0.1, pair(50, 58)}, {0.15, {}}});
    EXPECT_EQ(events, (Events{E::Scroll{0, 8}, E::ScrollEnded{0, 0}}));
}

TEST(GestureEngine, ThreeFingerSwipes) {
    struct Case {
        const char* name;
        double dx, dy;
        Events expected;
    };
    const std::vector<Case> cases{
        {"left switches to the right space", -60, 0, {E::SwitchSpace{true}}},
        {"right switches to the left space", 60, 0, {E::SwitchSpace{false}}},
        {"up opens mission control", 0, -60, {E::MissionControl{}}},
        {"down does nothing", 0, 60, {}},
    };
    for (const auto& c : cases) {
        GestureEngine engine;
        // Half way (nothing yet), the full distance, then beyond it: one event at most.
        const auto events = play(engine, {{0, trio(100, 100)},
                                          {0.1, trio(100 + c.dx / 2, 100 + c.dy / 2)},
                                          {0.2, trio(100 + c.dx, 100 + c.dy)},
                                          {0.3, trio(100 + 2 * c.dx, 100 + 2 * c.dy)},
                                          {0.4, {}}});
        EXPECT_EQ(events, c.expected) << c.name;
    }
}

TEST(GestureEngine, SecondFingerEndsADragBeforeScrolling) {
    GestureEngine engine(withoutAcceleration());
    play(engine, {{0, {{0, 0}}}, {0.1, {}}, {0.2, {{0, 0}}}, {0.25, {{10, 0}}}});
    EXPECT_EQ(engine.update(pair(10, 0), 0.3), (Events{E::DragEnded{}}));
    EXPECT_EQ(engine.level(), 2);
    EXPECT_EQ(play(engine, {{0.35, pair(10, 10)}}), (Events{E::Scroll{0, 10}}));
}

TEST(GestureEngine, LiftingOneFingerNeverLowersTheLevel) {
    GestureEngine engine;
    play(engine, {{0, pair(50, 50)}, {0.05, pair(50, 60)}});
    EXPECT_EQ(play(engine, {{0.1, {{40, 60}}}, {0.15, {{40, 90}}}}), Events{});
    EXPECT_EQ(engine.level(), 2);
}

TEST(GestureEngine, HoldingAStillFingerDrags) {
    GestureEngine off;
    off.update(std::vector<Point>{{0, 0}}, 0);
    EXPECT_TRUE(off.holdElapsed(5).empty());

    GestureConfig config = withoutAcceleration();
    config.holdToDrag = 0.5;
    GestureEngine engine(config);
    engine.update(std::vector<Point>{{0, 0}}, 0);
    EXPECT_TRUE(engine.holdElapsed(0.4).empty());
    EXPECT_EQ(engine.holdElapsed(0.5), (Events{E::DragBegan{}}));
    EXPECT_TRUE(engine.holdElapsed(0.6).empty());
    EXPECT_EQ(play(engine, {{0.7, {{2, 0}}}, {0.8, {}}}), (Events{E::Move{2, 0}, E::DragEnded{}}));

    // A finger that rested long enough before moving drags too, without the timer.
    GestureEngine moved(config);
    EXPECT_EQ(play(moved, {{0, {{0, 0}}}, {0.6, {{5, 0}}}}),
              (Events{E::DragBegan{}, E::Move{5, 0}}));
}

TEST(GestureEngine, CancelClosesWithoutClicking) {
    GestureEngine engine(withoutAcceleration());
    play(engine, {{0, {{0, 0}}}, {0.05, {{5, 0}}}});
    EXPECT_EQ(engine.cancel(), (Events{E::MoveEnded{}}));
    EXPECT_EQ(engine.level(), 0);

    play(engine, {{1, pair(50, 50)}, {1.05, pair(50, 60)}});
    EXPECT_EQ(engine.cancel(), (Events{E::ScrollEnded{0, 0}}));

    // A cancelled tap arms no drag: the next touch just moves.
    play(engine, {{2, {{0, 0}}}});
    EXPECT_TRUE(engine.cancel().empty());
    EXPECT_EQ(play(engine, {{2.1, {{0, 0}}}, {2.15, {{10, 0}}}}), (Events{E::Move{10, 0}}));
}

TEST(ScrollMomentum, DecaysAndStops) {
    ScrollMomentum slow{20, 0};
    EXPECT_FALSE(slow.step(1.0 / 60));

    ScrollMomentum glide{1000, 0};
    const double k = std::exp(-1.0 / 21);
    const auto step = glide.step(1.0 / 60);
    ASSERT_TRUE(step);
    EXPECT_NEAR(step->dx, (1 - k) * 0.35 * 1000, 1e-9);
    EXPECT_EQ(step->dy, 0);
    EXPECT_NEAR(glide.vx, 1000 * k, 1e-9);

    // A long frame decays as one of 0.05 s; no time moves nothing.
    ScrollMomentum stalled{1000, 0};
    EXPECT_NEAR(stalled.step(2.0)->dx, (1 - 0.8668778997501816) * 350, 1e-9);
    EXPECT_EQ(stalled.step(0)->dx, 0);

    // Any velocity that is not finite ends the glide at once.
    const double inf = HUGE_VAL;
    const double nan = std::nan("");
    for (const auto& [vx, vy] : std::vector<std::pair<double, double>>{
             {nan, 0}, {inf, 0}, {-inf, 0}, {0, inf}, {nan, inf}, {inf, nan}, {inf, -inf}}) {
        ScrollMomentum broken{vx, vy};
        EXPECT_FALSE(broken.step(0.01)) << vx << ", " << vy;
    }

    int steps = 0;
    while (glide.step(1.0 / 60) && steps < 10000) {
        ++steps;
    }
    EXPECT_LT(steps, 200);
    EXPECT_LT(glide.vx, ScrollMomentum::stopSpeed);
}

}  // namespace
}  // namespace quelm
