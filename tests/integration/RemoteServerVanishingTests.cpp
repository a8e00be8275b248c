#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

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

// The companion in a network namespace of its own, joined to the host by a veth pair on
// Tailscale-range addresses; pulling the link down is a phone losing its network.
class VanishingNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to create a network namespace";
        }
        if (std::system("ip -V >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "needs the ip tool";
        }
        auto id = std::to_string(::getpid() % 100000);
        ns_ = "qlmtest" + id;
        hostLink_ = "qlmh" + id;
        companionLink_ = "qlmc" + id;
        if (!run("ip netns add " + ns_)) {
            GTEST_SKIP() << "cannot create a network namespace here";
        }
        created_ = true;
        ASSERT_TRUE(run("ip link add " + hostLink_ + " type veth peer name " + companionLink_));
        ASSERT_TRUE(run("ip link set " + companionLink_ + " netns " + ns_));
        ASSERT_TRUE(run("ip addr add " + std::string(kHostAddress) + "/30 dev " + hostLink_));
        ASSERT_TRUE(run("ip link set " + hostLink_ + " up"));
        ASSERT_TRUE(inNamespace("ip addr add " + std::string(kCompanionAddress) + "/30 dev " +
                                companionLink_));
        ASSERT_TRUE(inNamespace("ip link set " + companionLink_ + " up"));
        ASSERT_TRUE(inNamespace("ip link set lo up"));
    }

    void TearDown() override {
        if (created_) {
            // Deleting the namespace deletes the veth pair with it.
            run("ip netns del " + ns_);
            run("ip link del " + hostLink_ + " 2>/dev/null");
        }
    }

    static bool run(const std::string& command) {
        return std::system((command + " >/dev/null").c_str()) == 0;
    }
    bool inNamespace(const std::string& command) const {
        return run("ip netns exec " + ns_ + " " + command);
    }

    // Connects from inside the namespace: a socket keeps the namespace it was created in.
    std::unique_ptr<WsTestClient> connectFromNamespace(std::uint16_t port) {
        auto client = std::make_unique<WsTestClient>();
        bool connected = false;
        std::thread([&] {
            int fd = ::open(("/var/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                return;
            }
            bool joined = ::setns(fd, CLONE_NEWNET) == 0;
            ::close(fd);
            connected = joined && client->connect(kHostAddress, port);
        }).join();
        return connected ? std::move(client) : nullptr;
    }

    static constexpr const char* kHostAddress = "100.100.77.1";
    static constexpr const char* kCompanionAddress = "100.100.77.2";
    std::string ns_;
    std::string hostLink_;
    std::string companionLink_;
    bool created_ = false;
};

TEST_F(VanishingNetworkTest, CompanionWhoseLinkGoesDownMidDragIsEndedAndReleased) {
    ServerHarness harness;
    harness.setTailscaleAddress(kHostAddress);
    harness.start(vanishingOptions());
    std::optional<std::uint16_t> port;
    for (int i = 0; i < 100 && !port; ++i) {
        port = harness.server().localPort(kHostAddress);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(port) << "the server does not listen on " << kHostAddress;

    auto companion = connectFromNamespace(*port);
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

    ASSERT_TRUE(inNamespace("ip link set " + companionLink_ + " down"));
    auto goneSince = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitForSessionEnd(harness, 6 * kIdleTimeout));
    std::printf("companion behind a downed link ended after %.2f s (idle timeout %.1f s)\n",
                secondsSince(goneSince), kIdleTimeout);
    EXPECT_EQ(harness.statuses(),
              (std::vector<std::string>{std::string("connected ") + kCompanionAddress, "waiting"}));
    EXPECT_EQ(harness.input->releases(), 1);
    EXPECT_EQ(harness.log().count(std::string("no answer to ping, closing ") + kCompanionAddress),
              1);
    // The companion never learnt of it: its side of the connection is still open.
    EXPECT_FALSE(companion->closed());
}

}  // namespace
}  // namespace quelm::test
