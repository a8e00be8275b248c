#include <gtest/gtest.h>

#include <cmath>

#include "QuelmCore/companion/ZoomState.hpp"

namespace quelm {
namespace {

void expectNear(Point actual, Point expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-12);
    EXPECT_NEAR(actual.y, expected.y, 1e-12);
}

TEST(ZoomState, StartsShowingTheWholePicture) {
    const ZoomState zoom;
    EXPECT_FALSE(zoom.isZoomed());
    EXPECT_EQ(zoom.visible(), (Rect{0, 0, 1, 1}));
    EXPECT_EQ(zoom.pictureFrame(Rect{20, 40, 390, 300}), (Rect{0, 0, 390, 300}));
    expectNear(zoom.contentPoint({0.25, 0.75}), {0.25, 0.75});
}

TEST(ZoomState, PinchKeepsTheAnchorInPlace) {
    struct Case {
        Point anchor;
        Point center;
    };
    const Case cases[] = {
        {{0.5, 0.5}, {0.5, 0.5}},
        {{0, 0}, {0.25, 0.25}},
        {{1, 1}, {0.75, 0.75}},
        {{0.3, 0.6}, {0.4, 0.55}},
    };
    for (const auto& c : cases) {
        ZoomState zoom;
        const double fx = c.anchor.x, fy = c.anchor.y;  // place in the view before
        zoom.pinch(2, c.anchor);
        EXPECT_EQ(zoom.scale, 2);
        expectNear(zoom.center, c.center);
        // The anchor sits at the same fraction of the view afterwards.
        expectNear(zoom.contentPoint({fx, fy}), c.anchor);
    }
    ZoomState zoom;
    zoom.pinch(2, {0.5, 0.5});
    EXPECT_EQ(zoom.visible(), (Rect{0.25, 0.25, 0.5, 0.5}));
    EXPECT_EQ(zoom.pictureFrame(Rect{0, 0, 390, 300}), (Rect{-195, -150, 780, 600}));
}

TEST(ZoomState, PinchLimitsAndRefusals) {
    ZoomState zoom;
    zoom.pinch(10, {0.5, 0.5});
    EXPECT_EQ(zoom.scale, 6);

    ZoomState back;
    back.pinch(2, {0.1, 0.9});
    back.pinch(0.1, {0.1, 0.9});
    EXPECT_EQ(back, ZoomState{});

    ZoomState twice;
    twice.pinch(2, {0.2, 0.2});
    const ZoomState before = twice;
    for (double bad : {0.0, -1.0, HUGE_VAL, std::nan("")}) {
        twice.pinch(bad, {0.5, 0.5});
        EXPECT_EQ(twice, before) << bad;
    }
    twice.pinch(2, {std::nan(""), 0.5});
    EXPECT_EQ(twice, before);

    // An infinite anchor sits at an edge of the view, and the centre ends at that edge of the
    // picture.
    ZoomState far;
    far.pinch(2, {HUGE_VAL, -HUGE_VAL});
    EXPECT_EQ(far.scale, 2);
    expectNear(far.center, {0.75, 0.25});
}

TEST(ZoomState, PanMovesAgainstTheFingersWithinThePicture) {
    ZoomState zoom;
    zoom.pinch(2, {0.5, 0.5});
    zoom.pan(0.2, 0);
    expectNear(zoom.center, {0.4, 0.5});
    zoom.pan(1, -1);
    expectNear(zoom.center, {0.25, 0.75});
    zoom.pan(std::nan(""), 0);
    zoom.pan(0, std::nan(""));
    expectNear(zoom.center, {0.25, 0.75});

    // Infinite distances push the centre to the edge, like any distance too long.
    zoom.pan(-HUGE_VAL, 0);
    expectNear(zoom.center, {0.75, 0.75});
    zoom.pan(HUGE_VAL, HUGE_VAL);
    expectNear(zoom.center, {0.25, 0.25});
}

TEST(ZoomState, ContainsHasInclusiveMinimumAndExclusiveMaximum) {
    ZoomState zoom;
    zoom.pinch(2, {0.5, 0.5});
    EXPECT_TRUE(zoom.contains({0.25, 0.25}));
    EXPECT_TRUE(zoom.contains({0.7, 0.7}));
    EXPECT_FALSE(zoom.contains({0.75, 0.5}));
    EXPECT_FALSE(zoom.contains({0.5, 0.75}));
    EXPECT_FALSE(zoom.contains({0.2, 0.5}));
}

TEST(ZoomState, FollowKeepsAPointAwayFromTheEdges) {
    ZoomState barely;
    barely.pinch(1.0005, {0.5, 0.5});
    EXPECT_FALSE(barely.follow({0, 0}));

    ZoomState zoom;
    zoom.pinch(2, {0.5, 0.5});
    EXPECT_FALSE(zoom.follow({0.5, 0.5}));
    EXPECT_TRUE(zoom.follow({0.3, 0.5}));
    expectNear(zoom.center, {0.475, 0.5});

    ZoomState corner;
    corner.pinch(2, {0.5, 0.5});
    EXPECT_TRUE(corner.follow({0.9, 0.1}));
    // Right and top edges: pushed by the overshoot, then held inside the picture.
    expectNear(corner.center, {0.725, 0.275});
    EXPECT_TRUE(corner.follow({1, 0}));
    expectNear(corner.center, {0.75, 0.25});
    EXPECT_FALSE(corner.follow({1, 0}));
}

TEST(ZoomState, ResetAndPictureFrameAfterPanning) {
    ZoomState zoom;
    zoom.pinch(4, {0, 0});
    EXPECT_EQ(zoom.visible(), (Rect{0, 0, 0.25, 0.25}));
    EXPECT_EQ(zoom.pictureFrame(Rect{100, 100, 200, 100}), (Rect{0, 0, 800, 400}));
    zoom.pan(-0.5, -0.5);
    EXPECT_EQ(zoom.pictureFrame(Rect{0, 0, 200, 100}), (Rect{-100, -50, 800, 400}));
    zoom.reset();
    EXPECT_EQ(zoom, ZoomState{});
}

}  // namespace
}  // namespace quelm
