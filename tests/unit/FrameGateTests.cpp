#include "QuelmCore/FrameGate.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "QuelmCore/Messages.hpp"
#include "QuelmCore/QualityMode.hpp"

namespace quelm {
namespace {

using D = FrameGate::Decision;

TEST(FrameGate, AdmitsUpToTheLimitThenWaitsForAnAcknowledgement) {
    FrameGate gate(2, 3.0);
    EXPECT_EQ(gate.evaluate(10.0), D::send);
    gate.markSent(10.0);
    EXPECT_EQ(gate.evaluate(10.1), D::send);
    gate.markSent(10.1);
    EXPECT_EQ(gate.evaluate(10.2), D::wait);
    EXPECT_EQ(gate.evaluate(13.1), D::wait);  // exactly the time-out after the last send
    gate.acknowledge();
    EXPECT_EQ(gate.inflight(), 1);
    EXPECT_EQ(gate.evaluate(10.3), D::send);
}

TEST(FrameGate, TimeOutIsStrictAndCountsFromTheLastSend) {
    struct Case {
        double now;
        D decision;
        int inflightAfter;
    };
    const Case cases[] = {
        {5.0, D::wait, 2},
        {8.0, D::wait, 2},  // 3.0 s: not yet
        {8.0 + 1e-9, D::sendAfterReset, 0},
        {100.0, D::sendAfterReset, 0},
        {std::numeric_limits<double>::quiet_NaN(), D::wait, 2},
        {std::numeric_limits<double>::infinity(), D::sendAfterReset, 0},
    };
    for (const auto& c : cases) {
        FrameGate gate(2, 3.0);
        gate.markSent(1.0);
        gate.markSent(5.0);
        EXPECT_EQ(gate.evaluate(c.now), c.decision) << c.now;
        EXPECT_EQ(gate.inflight(), c.inflightAfter) << c.now;
        EXPECT_EQ(gate.lastSend(), 5.0);
    }
}

TEST(FrameGate, AcknowledgeAndResetNeverGoBelowZero) {
    FrameGate gate(2, 3.0);
    gate.acknowledge();
    EXPECT_EQ(gate.inflight(), 0);
    gate.markSent(4.0);
    gate.markSent(4.5);
    gate.reset();
    EXPECT_EQ(gate.inflight(), 0);
    EXPECT_EQ(gate.lastSend(), 4.5);
    EXPECT_EQ(gate.evaluate(4.6), D::send);
}

TEST(FrameGate, LimitZeroOnlyEverResets) {
    FrameGate gate(0, 3.0);
    EXPECT_EQ(gate.evaluate(3.0), D::wait);
    EXPECT_EQ(gate.evaluate(3.5), D::sendAfterReset);
    gate.markSent(3.5);
    EXPECT_EQ(gate.evaluate(6.5), D::wait);
    EXPECT_EQ(gate.evaluate(6.6), D::sendAfterReset);
    EXPECT_EQ(gate.inflight(), 0);
}

TEST(QualityPreset, PresetsCarryTheirValues) {
    struct Case {
        QualityPreset preset;
        std::string_view raw;
        std::string title;
        StreamConfig config;
        int audioKbps;
        double gigabytes;
    };
    const Case cases[] = {
        {QualityPreset::home, "home", "自宅Wi-Fi", {2560, 15.0, 30}, 128, 6.75},
        {QualityPreset::away, "away", "外出", {1920, 6.0, 30}, 64, 2.7},
        {QualityPreset::saver, "saver", "節約", {1440, 2.5, 20}, 48, 1.125},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rawValue(c.preset), c.raw);
        EXPECT_EQ(qualityPreset(c.raw), c.preset);
        EXPECT_EQ(title(c.preset), c.title);
        EXPECT_EQ(config(c.preset), c.config);
        EXPECT_EQ(config(c.preset).clamped(), c.config);
        EXPECT_EQ(audioKbps(c.preset), c.audioKbps);
        EXPECT_EQ(maxGigabytesPerHour(c.preset), c.gigabytes);
        EXPECT_NEAR(maxGigabytesPerHour(c.preset), c.config.bitrateMbps * 0.45, 1e-12);
        EXPECT_EQ(ClientMessage(ClientMessage::Audio{audioKbps(c.preset)}).validated(),
                  ClientMessage(ClientMessage::Audio{c.audioKbps}));
    }
    EXPECT_EQ(qualityPreset("Home"), std::nullopt);
}

TEST(QualityMode, ResolveFollowsTheNetworkOnlyForAuto) {
    EXPECT_EQ(resolve(QualityMode::automatic, false), QualityPreset::home);
    EXPECT_EQ(resolve(QualityMode::automatic, true), QualityPreset::away);
    for (bool expensive : {false, true}) {
        EXPECT_EQ(resolve(QualityMode::home, expensive), QualityPreset::home);
        EXPECT_EQ(resolve(QualityMode::away, expensive), QualityPreset::away);
        EXPECT_EQ(resolve(QualityMode::saver, expensive), QualityPreset::saver);
    }
    std::vector<std::string_view> raws;
    for (auto mode : allQualityModes) {
        raws.push_back(rawValue(mode));
        EXPECT_EQ(qualityMode(rawValue(mode)), mode);
    }
    EXPECT_EQ(raws, (std::vector<std::string_view>{"auto", "home", "away", "saver"}));
    EXPECT_EQ(qualityMode("automatic"), std::nullopt);
}

}  // namespace
}  // namespace quelm
