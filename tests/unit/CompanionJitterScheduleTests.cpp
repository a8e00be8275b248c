#include <gtest/gtest.h>

#include <cmath>

#include "QuelmCore/companion/JitterSchedule.hpp"

namespace quelm {
namespace {

using Play = JitterSchedule::Play;
using Drop = JitterSchedule::Drop;

constexpr double kRate = 48000;

TEST(JitterSchedule, ConstantsAt48kHz) {
    const JitterSchedule s(kRate, 0.5);
    EXPECT_EQ(s.minCushion(), 2880);
    EXPECT_EQ(s.maxCushion(), 24000);
    EXPECT_EQ(s.step(), 2880);
    EXPECT_EQ(s.slack(), 5760);
    EXPECT_EQ(s.calm(), 720000);
    EXPECT_EQ(s.cushion(), 4800);

    // A largest delay below the smallest cushion: the cushion can never grow.
    JitterSchedule tight(kRate, 0.01);
    EXPECT_EQ(tight.maxCushion(), 2880);
    tight.place(1024, 0);
    tight.place(1024, 100000);  // underrun
    EXPECT_EQ(tight.dropouts(), 1);
    EXPECT_EQ(tight.cushion(), 2880);
}

TEST(JitterSchedule, PacketsPlayBackToBack) {
    JitterSchedule s(kRate, 0.5);
    EXPECT_EQ(s.place(1024, 100000), JitterSchedule::Decision{Play{104800}});
    EXPECT_EQ(s.ahead(), 5824);
    EXPECT_EQ(s.place(1024, 100500), JitterSchedule::Decision{Play{105824}});
    EXPECT_EQ(s.ahead(), 106848 - 100500);
    EXPECT_EQ(s.dropouts(), 0);
}

TEST(JitterSchedule, UnderrunWidensTheCushionUpToTheLimit) {
    JitterSchedule s(kRate, 0.5);
    s.place(1024, 100000);  // next = 105824
    // One frame late: a dropout, played a grown cushion ahead.
    EXPECT_EQ(s.place(1024, 105825), JitterSchedule::Decision{Play{105825 + 4800 + 2880}});
    EXPECT_EQ(s.dropouts(), 1);
    EXPECT_EQ(s.cushion(), 7680);

    std::int64_t now = 105825;
    for (int i = 0; i < 20; ++i) {
        now += 1000000;
        s.place(1024, now);
    }
    EXPECT_EQ(s.dropouts(), 21);
    EXPECT_EQ(s.cushion(), 24000);
    EXPECT_EQ(s.place(1024, now + 1000000), JitterSchedule::Decision{Play{now + 1000000 + 24000}});
}

TEST(JitterSchedule, BacklogAboveCushionPlusSlackIsDropped) {
    JitterSchedule s(kRate, 0.5);
    s.place(10560 - 4800, 0);  // next = 10560, backlog at 0 is exactly cushion + slack
    EXPECT_EQ(s.place(1024, 0), JitterSchedule::Decision{Play{10560}});

    // next = 11584: a backlog of 11584 > 10560 is dropped and next stays.
    EXPECT_EQ(s.place(1024, 0), JitterSchedule::Decision{Drop{}});
    EXPECT_EQ(s.dropped(), 1);
    EXPECT_EQ(s.ahead(), 11584);
    EXPECT_EQ(s.place(1024, 1024), JitterSchedule::Decision{Play{11584}});
}

TEST(JitterSchedule, CalmShrinksTheCushionOncePerPeriod) {
    JitterSchedule s(kRate, 0.5);
    s.place(1024, 0);
    s.place(1024, 10000);  // underrun: cushion 7680, lastTrouble 10000

    // Keep the schedule fed just ahead of the player.
    std::int64_t now = 10000;
    auto feedUntil = [&](std::int64_t end) {
        while (now < end) {
            now += 1024;
            s.place(1024, now);
        }
    };
    feedUntil(10000 + 720000 - 1024);
    EXPECT_EQ(s.cushion(), 7680);
    feedUntil(10000 + 720000 + 1024);
    EXPECT_EQ(s.cushion(), 7680 - 1440);
    feedUntil(10000 + 2 * 720000 - 2048);
    EXPECT_EQ(s.cushion(), 7680 - 1440);
    feedUntil(10000 + 10 * 720000);
    EXPECT_EQ(s.cushion(), 2880);  // never below the smallest cushion
    EXPECT_EQ(s.dropouts(), 1);
}

TEST(JitterSchedule, ResetKeepsTheGrownCushion) {
    JitterSchedule s(kRate, 0.5);
    s.place(1024, 0);
    s.place(1024, 50000);
    s.reset();
    EXPECT_EQ(s.ahead(), 0);
    EXPECT_EQ(s.place(1024, 60000), JitterSchedule::Decision{Play{60000 + 7680}});
    EXPECT_EQ(s.dropouts(), 1);
}

TEST(JitterSchedule, NonsenseRatesStayDefined) {
    JitterSchedule s(std::nan(""), 1e300);
    EXPECT_EQ(s.cushion(), 0);
    EXPECT_EQ(s.place(1024, 5), JitterSchedule::Decision{Play{5}});
}

}  // namespace
}  // namespace quelm
