#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/fakes/NetworkNamespace.hpp"
#include "tests/fakes/RawWsClient.hpp"
#include "tests/fakes/ServerHarness.hpp"

namespace quelm::test {
namespace {

using namespace std::chrono_literals;

constexpr double kIdleTimeout = 1.0;

RemoteServer::Options vanishingOptions() {
    auto options = ServerHarness::fastOptions();
    options.peerLimits.idleTimeout = kIdleTimeout;
    return options;
}

const std::vector<std::string> kDragWithKeyHeld{
    R"({"key":{"code":56,"down":true,"isRepeat":false,"modifiers":0}})",
    R"({"dragButton":{"down":true,"modifiers":0}})",
    R"({"move":{"dx":5,"dy":3}})",
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Waits for the session to end: the status back to waiting and everything released.
bool waitForSessionEnd(ServerHarness& harness, double seconds) {
    return harness.waitForStatuses(2, seconds) && harness.input->waitForReleases(1, 1.0);
}

// A companion that completed the handshake and then went silent: the kernel still takes the
// host's bytes, but nothing (not even a pong) comes back.
TEST(RemoteServerVanishingTest, CompanionThatAnswersNoPingIsEndedAndItsInputReleased) {
    ServerHarness harness;
    harness.start(vanishingOptions());
    RawWsClient companion;
    ASSERT_TRUE(companion.connect(harness.port()));
    companion.sendText(ServerHarness::hello(ServerHarness::kToken));
    for (const auto& text : kDragWithKeyHeld) {
        companion.sendText(text);
    }
    ASSERT_TRUE(harness.input->waitForMessages(kDragWithKeyHeld.size()));
    auto silentSince = std::chrono::steady_clock::now();
    EXPECT_EQ(harness.input->releases(), 0);

    ASSERT_TRUE(waitForSessionEnd(harness, 6 * kIdleTimeout));
    double detected = secondsSince(silentSince);
    std::printf("silent companion ended after %.2f s (idle timeout %.1f s)\n", detected,
                kIdleTimeout);
    EXPECT_GE(detected, 0.9 * kIdleTimeout);
    EXPECT_EQ(harness.statuses(), (std::vector<std::string>{"connected 127.0.0.1", "waiting"}));
    EXPECT_EQ(harness.input->releases(), 1);
    EXPECT_EQ(harness.log().count("no answer to ping, closing 127.0.0.1"), 1);
    EXPECT_TRUE(companion.waitEnded(3 * kIdleTimeout));
}

// A companion that reads and so answers every ping on its own stays connected while idle.
TEST(RemoteServerVanishingTest, IdleCompanionThatAnswersPingsStaysConnected) {
    ServerHarness harness;
    harness.start(vanishingOptions());
    auto companion = harness.authenticate();
    ASSERT_TRUE(companion);
    std::this_thread::sleep_for(std::chrono::duration<double>(3 * kIdleTimeout));
    EXPECT_FALSE(companion->closed());
    EXPECT_EQ(harness.statuses(), (std::vector<std::string>{"connected 127.0.0.1"}));
    EXPECT_EQ(harness.input->releases(), 0);
}

// The companion in a network namespace of its own; pulling its link down is a phone losing its
// network.
class VanishingNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        space_ = NetworkNamespace::create(why);
        if (!space_) {
            GTEST_SKIP() << why;
        }
    }

    std::unique_ptr<NetworkNamespace> space_;
};

TEST_F(VanishingNetworkTest, CompanionWhoseLinkGoesDownMidDragIsEndedAndReleased) {
    ServerHarness harness;
    harness.setTailscaleAddress(space_->hostAddress());
    harness.start(vanishingOptions());
    const auto port = harness.waitForPort(space_->hostAddress());
    ASSERT_TRUE(port) << "the server does not listen on " << space_->hostAddress();

    auto companion = space_->connect(*port);
    ASSERT_TRUE(companion);
    companion->sendText(ServerHarness::hello(ServerHarness::kToken));
    auto answer = companion->receiveText();
    ASSERT_TRUE(answer && answer->starts_with(R"({"hello":)"));
    for (const auto& text : kDragWithKeyHeld) {
        companion->sendText(text);
    }
    ASSERT_TRUE(harness.input->waitForMessages(kDragWithKeyHeld.size()));

    // Idle for a while first: the pings are answered and nothing ends.
    std::this_thread::sleep_for(std::chrono::duration<double>(2 * kIdleTimeout));
    EXPECT_EQ(harness.input->releases(), 0);
    EXPECT_EQ(harness.statuses().size(), 1u);

    ASSERT_TRUE(space_->pullLinkDown());
    auto goneSince = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitForSessionEnd(harness, 6 * kIdleTimeout));
    std::printf("companion behind a downed link ended after %.2f s (idle timeout %.1f s)\n",
                secondsSince(goneSince), kIdleTimeout);
    EXPECT_EQ(harness.statuses(),
              (std::vector<std::string>{"connected " + space_->companionAddress(), "waiting"}));
    EXPECT_EQ(harness.input->releases(), 1);
    EXPECT_EQ(harness.log().count("no answer to ping, closing " + space_->companionAddress()), 1);
    // The companion never learnt of it: its side of the connection is still open.
    EXPECT_FALSE(companion->closed());
}

}  // namespace
}  // namespace quelm::test
