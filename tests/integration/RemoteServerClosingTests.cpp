#include <gtest/gtest.h>

#include <boost/asio/read.hpp>
#include <thread>

#include "QuelmCore/VideoFrame.hpp"
#include "tests/fakes/RawWsClient.hpp"
#include "tests/fakes/ServerHarness.hpp"

namespace quelm::test {
namespace {

using namespace std::chrono_literals;

constexpr double kCloseTimeout = 0.5;

RemoteServer::Options closingOptions() {
    auto options = ServerHarness::fastOptions();
    options.peerLimits.closeTimeout = kCloseTimeout;
    options.peerLimits.maxQueuedBytes = 2u << 20;
    return options;
}

void deliverFrames(ServerHarness& harness, int count) {
    static const VideoFrame frame{1, 1920, 1080, true, {}, Bytes(200000, 0x11)};
    // Frames come from the capture's thread, never the server's.
    std::thread([&] {
        for (int i = 0; i < count; ++i) {
            harness.screen->deliverFrame(frame);
        }
    }).join();
}

// An active companion with a small receive buffer that reads nothing, and a host write to it
// that cannot complete.
std::unique_ptr<RawWsClient> stalledCompanion(ServerHarness& harness) {
    auto client = std::make_unique<RawWsClient>();
    if (!client->connect(harness.port(), 4096)) {
        return nullptr;
    }
    client->sendText(ServerHarness::hello(ServerHarness::kToken));
    if (!harness.waitForStatuses(1)) {
        return nullptr;
    }
    for (int i = 0; i < 100; ++i) {
        deliverFrames(harness, 1);
        // A backlog that survives a pause means the socket takes nothing more.
        std::this_thread::sleep_for(20ms);
        if (harness.server().activeQueuedBytes().value_or(0) >= 400000) {
            return client;
        }
    }
    return nullptr;
}

TEST(RemoteServerClosing, AStalledCompanionIsCutOffWithinTheDeadlineHoweverItEnds) {
    struct Case {
        const char* name;
        std::function<void(ServerHarness&)> end;
        bool disconnected;  // ends with a "disconnected: " line rather than a replacement
    };
    std::unique_ptr<WsTestClient> successor;
    const std::vector<Case> cases = {
        {"send queue full",
         [](ServerHarness& h) {
             deliverFrames(h, 20);
             EXPECT_TRUE(h.log().waitFor("send queue full, closing 127.0.0.1"));
         },
         true},
        {"replaced",
         [&](ServerHarness& h) {
             successor = h.authenticate();
             EXPECT_TRUE(successor);
         },
         false},
        {"disconnectAll", [](ServerHarness& h) { h.server().disconnectAll(); }, true},
        {"stop", [](ServerHarness& h) { h.server().stop(); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerHarness harness;
        harness.start(closingOptions());
        auto stalled = stalledCompanion(harness);
        ASSERT_TRUE(stalled);
        c.end(harness);
        // Before the deadline the host may still try a closing handshake; after it the socket
        // is gone whatever was in flight.
        EXPECT_TRUE(stalled->waitEnded(kCloseTimeout + 2.5));
        if (c.disconnected) {
            EXPECT_TRUE(harness.log().waitFor("disconnected: 127.0.0.1"));
        } else {
            EXPECT_EQ(harness.log().count("disconnected: ", true), 0);
        }
        successor.reset();
    }
}

TEST(RemoteServerClosing, AProtocolErrorEndsTheCompanionAtOnce) {
    struct Case {
        const char* name;
        std::uint8_t opcode;
        Bytes payload;
        bool masked;
    };
    const std::vector<Case> cases = {
        {"unmasked frame", 2, Bytes{1, 2, 3}, false},
        {"unknown opcode", 3, Bytes{1, 2, 3}, true},
        {"text that is not UTF-8", 1, Bytes{'{', 0xC3, 0x28, '}'}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerHarness harness;
        auto options = ServerHarness::fastOptions();
        // Far beyond the wait below: only the error itself may end the companion.
        options.peerLimits.closeTimeout = 10;
        harness.start(options);
        RawWsClient client;
        ASSERT_TRUE(client.connect(harness.port()));
        client.sendText(ServerHarness::hello(ServerHarness::kToken));
        ASSERT_TRUE(harness.waitForStatuses(1));
        ASSERT_TRUE(harness.input->waitForMessages(1));

        client.sendFrame(c.opcode, c.payload, c.masked);
        // The client keeps its end open all along.
        EXPECT_TRUE(harness.log().waitFor("disconnected: 127.0.0.1", 1.5));
        EXPECT_TRUE(harness.waitForStatuses(2, 1.0));
        EXPECT_EQ(harness.statuses().back(), "waiting");
        EXPECT_TRUE(harness.input->waitForReleases(1));
        EXPECT_EQ(harness.screen->calls().back(), "stop");
        EXPECT_TRUE(client.waitEnded(1.0));
    }
}

}  // namespace
}  // namespace quelm::test
