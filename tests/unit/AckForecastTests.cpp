#include <gtest/gtest.h>

#include "QuelmHostKit/streaming/AckForecast.hpp"

namespace quelm {
namespace {

TEST(AckForecast, ExpectsTheOldestFrameOneLearntRoundTripAfterItWentOut) {
    AckForecast acks;
    acks.sent(10.0);
    EXPECT_EQ(acks.nextAcknowledgement(), std::nullopt) << "nothing learnt yet";

    acks.sent(10.02);
    acks.acknowledged(10.06);  // the first took 60 ms
    EXPECT_NEAR(*acks.nextAcknowledgement(), 10.08, 1e-9);

    acks.acknowledged(10.18);  // the second 160 ms: a quarter of the difference is taken
    EXPECT_NEAR(*acks.roundTrip(), 0.085, 1e-9);
    EXPECT_EQ(acks.nextAcknowledgement(), std::nullopt) << "nothing outstanding";
}

TEST(AckForecast, AnswersToForgottenFramesTeachNothing) {
    AckForecast acks;
    acks.sent(1.0);
    acks.acknowledged(1.05);
    acks.sent(2.0);
    acks.forgetOutstanding();  // the gate gave up on it
    acks.acknowledged(9.0);    // its late answer
    EXPECT_NEAR(*acks.roundTrip(), 0.05, 1e-9);

    // A companion that stops answering leaves only the newest frames tracked.
    for (std::size_t i = 0; i < AckForecast::maxOutstanding + 3; ++i) {
        acks.sent(20.0 + double(i));
    }
    EXPECT_NEAR(*acks.nextAcknowledgement(), 23.05, 1e-9);
}

}  // namespace
}  // namespace quelm
