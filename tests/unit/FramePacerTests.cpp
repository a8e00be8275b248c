#include "QuelmHostKit/streaming/FramePacer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace quelm {
namespace {

struct Grab {
    double at;      // when the picture was taken
    double waited;  // since the change it shows was noticed
    int changes;    // changes of the source it covers
};

// A source changing `sourceHz` times a second from `phase` on, and a capture thread that takes a
// picture of the first change not taken yet when its turn comes, but always wakes `lateness`
// seconds late.
std::vector<Grab> simulate(FramePacer& pacer, double sourceHz, double phase, double lateness,
                           double seconds) {
    std::vector<Grab> grabs;
    int index = 0;
    auto change = [&](int i) { return phase + i / sourceHz; };
    while (change(index) < seconds) {
        const double noticed = change(index);
        const double at = std::max(noticed, pacer.due()) + lateness;
        int covered = 0;
        while (change(index) <= at) {
            ++index;
            ++covered;
        }
        pacer.took(at);
        grabs.push_back({at, at - noticed, covered});
    }
    return grabs;
}

TEST(FramePacer, ChangesAtUpToTheFrameRateAreTakenOnArrivalDespiteLateWakeUps) {
    struct Case {
        double sourceHz;
        int fps;
        double phase;
        double lateness;
    };
    const Case cases[] = {
        {60, 60, 0.001, 0.0005},  {60, 60, 0.0071, 0.001}, {60, 60, 0.013, 0.002},
        {59.5, 60, 0.004, 0.001}, {24, 60, 0.002, 0.001},  {30, 30, 0.011, 0.002},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.sourceHz << " Hz at " << c.fps << " fps, late by " << c.lateness);
        FramePacer pacer(c.fps);
        const auto grabs = simulate(pacer, c.sourceHz, c.phase, c.lateness, 5.0);
        // The source's phase against the first picture is absorbed within a few pictures.
        ASSERT_GT(grabs.size(), 10u);
        for (std::size_t i = 10; i < grabs.size(); ++i) {
            // Turns counted from the late grab instead would let the wait creep up to a whole
            // interval and lose a change at each wrap.
            EXPECT_LE(grabs[i].waited, c.lateness + 1e-9) << "picture " << i;
            EXPECT_EQ(grabs[i].changes, 1) << "picture " << i;
        }
    }
}

TEST(FramePacer, NeverExceedsTheFrameRateNorSpacesPicturesMuchCloser) {
    struct Case {
        double sourceHz;
        int fps;
        double lateness;
    };
    const Case cases[] = {
        {60, 60, 0.003}, {90, 60, 0.001}, {144, 60, 0.0}, {60, 30, 0.002}, {1000, 5, 0.01},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.sourceHz << " Hz at " << c.fps << " fps, late by " << c.lateness);
        FramePacer pacer(c.fps);
        const double seconds = 6.0;
        const auto grabs = simulate(pacer, c.sourceHz, 0.003, c.lateness, seconds);
        const double interval = 1.0 / c.fps;
        for (std::size_t i = 1; i < grabs.size(); ++i) {
            EXPECT_GE(grabs[i].at - grabs[i - 1].at, FramePacer::minimumSpacing * interval - 1e-9);
            EXPECT_LE(grabs[i].waited, interval + c.lateness + 1e-9);
        }
        // Any second holds at most fps pictures, and two more for what the schedule absorbs.
        for (std::size_t first = 0; first < grabs.size(); ++first) {
            const auto inWindow =
                std::count_if(grabs.begin() + static_cast<std::ptrdiff_t>(first), grabs.end(),
                              [&](const Grab& g) { return g.at < grabs[first].at + 1.0; });
            EXPECT_LE(inWindow, c.fps + 2);
        }
    }
}

TEST(FramePacer, AnIdleSpellIsNotSavedUpAndANewRateTakesEffect) {
    FramePacer pacer(60);
    const double interval = 1.0 / 60;
    EXPECT_LE(pacer.due(), 0.0);  // the first picture at once
    pacer.took(10.0);
    EXPECT_NEAR(pacer.due(), 10.0 + FramePacer::minimumSpacing * interval, 1e-9);
    // A source that changes all the time after a still spell: the spell buys no more than the
    // schedule's one interval of slack, however long it was.
    for (const double start : {12.0, 100.0}) {
        int taken = 0;
        for (double now = start; now < start + 1.0; now = pacer.due()) {
            pacer.took(now);
            ++taken;
        }
        EXPECT_LE(taken, 62) << "after the spell ending at " << start;
        EXPECT_GE(taken, 60);
    }
    pacer.setFps(5);
    pacer.took(200.0);
    EXPECT_NEAR(pacer.due(), 200.0 + FramePacer::minimumSpacing * 0.2, 1e-9);
    pacer.setFps(0);
    EXPECT_DOUBLE_EQ(pacer.interval(), 1.0);
}

}  // namespace
}  // namespace quelm
