#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <chrono>
#include <future>
#include <thread>

#include "QuelmCore/WireCoder.hpp"
#include "tests/fakes/ServerHarness.hpp"

namespace quelm::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAuthFailed = R"({"authFailed":{}})";

class RemoteServerTest : public ::testing::Test {
  protected:
    void SetUp() override { harness.start(); }

    void expectRefused(WsTestClient& client) {
        auto answer = client.receive(2.0);
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->text);
        EXPECT_EQ(answer->data, kAuthFailed);
        EXPECT_TRUE(client.waitClosed());
        EXPECT_EQ(harness.log().count("auth failed from 127.0.0.1"), 1);
        EXPECT_TRUE(harness.statuses().empty());
    }

    ServerHarness harness;
};

TEST(RemoteServerHostText, CutsTheScopeAndUnwrapsMappedIPv4) {
    using boost::asio::ip::make_address;
    const std::vector<std::pair<std::string, std::string>> cases{
        {"100.64.0.9", "100.64.0.9"},   {"::ffff:100.64.0.9", "100.64.0.9"},
        {"fe80::1%1", "fe80::1"},       {"::1", "::1"},
        {"2001:db8::5", "2001:db8::5"},
    };
    for (const auto& [address, text] : cases) {
        EXPECT_EQ(RemoteServer::hostText(make_address(address)), text) << address;
    }
}

TEST_F(RemoteServerTest, CorrectHelloActivatesTheCompanionAndStartsItsStream) {
    auto client = harness.connect();
    ASSERT_TRUE(client);
    client->sendText(ServerHarness::hello(ServerHarness::kToken,
                                          R"({"maxEdge":100,"bitrateMbps":100,"fps":1})",
                                          R"(,"layout":"jis","display":2)"));

    auto answer = client->receiveText();
    ASSERT_TRUE(answer);
    HostInfo expected = harness.hostInfo;
    expected.displayID = 2;
    EXPECT_EQ(*answer, *WireCoder::encode(ServerMessage::Hello{expected}));

    ASSERT_TRUE(harness.waitForStatuses(1));
    EXPECT_EQ(harness.statuses(), std::vector<std::string>{"connected 127.0.0.1"});
    EXPECT_EQ(harness.log().count("connected: 127.0.0.1"), 1);
    EXPECT_EQ(harness.selectedDisplays(), std::vector<std::uint32_t>{2});
    ASSERT_TRUE(harness.input->waitForMessages(1));
    EXPECT_EQ(harness.input->messages().front(),
              ClientMessage(ClientMessage::SetLayout{KeyboardLayoutKind::jis}));
    // The hello's configuration is clamped before the stream starts; audio starts off.
    ASSERT_TRUE(harness.screen->waitForCalls(2));
    EXPECT_EQ(harness.screen->calls(),
              (std::vector<std::string>{"start 640x50x5", "setAudio 0 none"}));
}

TEST_F(RemoteServerTest, HelloWithoutLayoutOrDisplaySelectsNone) {
    ASSERT_TRUE(harness.authenticate());
    ASSERT_TRUE(harness.input->waitForMessages(1));
    EXPECT_EQ(harness.input->messages().front(), ClientMessage(ClientMessage::SetLayout{}));
    EXPECT_EQ(harness.selectedDisplays(), std::vector<std::uint32_t>{0});
}

TEST_F(RemoteServerTest, BadFirstMessagesAreRefusedOnceAfterTheDelay) {
    std::string token = ServerHarness::kToken;
    const std::vector<std::pair<std::string, std::string>> cases{
        {"not a hello", R"({"ping":{"ts":1}})"},
        {"not JSON", "hello?"},
        {"secret one longer", ServerHarness::hello(token + "x")},
        {"secret one shorter", ServerHarness::hello(token.substr(0, token.size() - 1))},
        {"empty secret", ServerHarness::hello("")},
        {"hello without config", R"({"hello":{"_0":{"token":")" + token + R"("}}})"},
    };
    for (const auto& [name, first] : cases) {
        SCOPED_TRACE(name);
        harness.log().clear();
        auto client = harness.connect();
        ASSERT_TRUE(client);
        auto sent = std::chrono::steady_clock::now();
        client->sendText(first);
        ASSERT_TRUE(harness.log().waitFor("auth failed from "));
        expectRefused(*client);
        EXPECT_GE(std::chrono::steady_clock::now() - sent, 150ms);
    }
}

TEST_F(RemoteServerTest, MoreMessagesAfterARefusalChangeNothingNotEvenACorrectHello) {
    auto client = harness.connect();
    ASSERT_TRUE(client);
    client->sendText(R"({"ping":{"ts":1}})");
    for (int i = 0; i < 5; ++i) {
        client->sendText("{}");
    }
    client->sendText(ServerHarness::hello(ServerHarness::kToken));
    expectRefused(*client);
    EXPECT_FALSE(client->receive(0.1));
    EXPECT_TRUE(harness.screen->calls().empty());
}

TEST_F(RemoteServerTest, NoSecretAtAllRefusesEveryone) {
    harness.setToken(std::nullopt);
    auto client = harness.connect();
    ASSERT_TRUE(client);
    client->sendText(ServerHarness::hello(""));
    expectRefused(*client);
}

TEST_F(RemoteServerTest, ChunkBeforeHelloIsIgnored) {
    auto client = harness.connect();
    ASSERT_TRUE(client);
    client->sendBinary(Bytes{4, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0xAA});
    // Opcode plays no part: a text message starting with byte 4 is a chunk too.
    client->sendText(std::string("\x04garbage"));
    client->sendText(ServerHarness::hello(ServerHarness::kToken));
    auto answer = client->receiveText();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rfind(R"({"hello":)", 0), 0u);
    EXPECT_EQ(harness.log().count("auth failed from ", true), 0);
}

TEST_F(RemoteServerTest, SilentConnectionIsClosedAfterTheHelloTimeout) {
    // The server's timer starts after this clock does, so however late the threads run, the
    // close is seen no sooner than the timeout after it. The upper bound only catches a close
    // that never comes.
    const auto start = std::chrono::steady_clock::now();
    auto client = harness.connect();
    ASSERT_TRUE(client);
    client->sendBinary(Bytes{4, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0xAA});
    ASSERT_TRUE(client->waitClosed(20.0));
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited.count(), ServerHarness::fastOptions().helloTimeout);
    EXPECT_EQ(client->available(), 0u);
    EXPECT_EQ(harness.log().count("no hello from 127.0.0.1"), 1);
    EXPECT_TRUE(harness.statuses().empty());
}

TEST_F(RemoteServerTest, HandshakeWithAnOriginHeaderIsRefused) {
    for (std::string name : {"Origin", "ORIGIN", "origin", "oRiGiN"}) {
        SCOPED_TRACE(name);
        WsTestClient::Options options;
        options.headers = {{name, "https://example.invalid"}};
        EXPECT_FALSE(harness.connect(options));
    }
    WsTestClient::Options anyPath;
    anyPath.path = "/some/other/path?x=1";
    EXPECT_TRUE(harness.connect(anyPath));
    EXPECT_EQ(harness.log().count("auth failed from ", true), 0);
}

TEST_F(RemoteServerTest, MessageOverTheLimitClosesThePeer) {
    auto client = harness.authenticate();
    ASSERT_TRUE(client);
    // At the limit: delivered (and dropped as undecodable), the connection stays.
    client->sendBinary(Bytes(65536, '{'));
    EXPECT_FALSE(client->waitClosed(0.3));
    client->sendBinary(Bytes(65537, '{'));
    EXPECT_TRUE(client->waitClosed());
    ASSERT_TRUE(harness.waitForStatuses(2));
    EXPECT_EQ(harness.statuses().back(), "waiting");
}

TEST_F(RemoteServerTest, PeerOutsideTheAllowedAddressesIsRejected) {
    WsTestClient::Options options;
    options.bindAddress = "127.0.0.5";
    EXPECT_FALSE(harness.connect(options));
    EXPECT_TRUE(harness.log().waitFor("rejected peer 127.0.0.5"));
}

TEST_F(RemoteServerTest, LocalConnectionsFollowTheSwitch) {
    std::promise<void> done;
    harness.server().setLocalAllowed(false, [&] { done.set_value(); });
    done.get_future().wait();
    EXPECT_FALSE(harness.server().localPort("127.0.0.1"));
    EXPECT_FALSE(harness.connect());
}

TEST_F(RemoteServerTest, OwnAddressCountsAsLocalAndIsFollowed) {
    harness.setTailscaleAddress("127.0.0.2");
    ASSERT_TRUE(harness.log().waitFor("Tailscale address: 127.0.0.2"));
    harness.drain();
    auto port = harness.server().localPort("127.0.0.2");
    ASSERT_TRUE(port);

    WsTestClient::Options fromOwnAddress;
    fromOwnAddress.bindAddress = "127.0.0.2";
    WsTestClient fromSelf;
    EXPECT_TRUE(fromSelf.connect("127.0.0.2", *port, fromOwnAddress));

    std::promise<void> done;
    harness.server().setLocalAllowed(false, [&] { done.set_value(); });
    done.get_future().wait();
    WsTestClient refused;
    EXPECT_FALSE(refused.connect("127.0.0.2", *port, fromOwnAddress));
    EXPECT_TRUE(harness.log().waitFor("rejected peer 127.0.0.2"));

    harness.setTailscaleAddress("127.0.0.3");
    ASSERT_TRUE(harness.log().waitFor("Tailscale address: 127.0.0.3"));
    harness.drain();
    EXPECT_FALSE(harness.server().localPort("127.0.0.2"));
    EXPECT_TRUE(harness.server().localPort("127.0.0.3"));

    harness.setTailscaleAddress(std::nullopt);
    ASSERT_TRUE(harness.log().waitFor("Tailscale address not found"));
    harness.drain();
    EXPECT_FALSE(harness.server().localPort("127.0.0.3"));
    // Each change is logged once; an unchanged address logs nothing.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(harness.log().count("Tailscale address", true), 3);
}

TEST(RemoteServerListening, AddressInUseIsLoggedAndRetriedAtTheNextRefresh) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor blocker(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.2"), 0));
    auto port = blocker.local_endpoint().port();

    ServerHarness harness;
    auto options = ServerHarness::fastOptions();
    options.port = port;
    harness.start(options);
    harness.setTailscaleAddress("127.0.0.2");
    ASSERT_TRUE(harness.log().waitFor("could not listen on 127.0.0.2: "));
    EXPECT_FALSE(harness.server().localPort("127.0.0.2"));

    blocker.close();
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!harness.server().localPort("127.0.0.2") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(harness.server().localPort("127.0.0.2"), port);
    EXPECT_EQ(harness.log().count("Tailscale address: 127.0.0.2"), 1);
}

TEST_F(RemoteServerTest, ReplacementGoesStraightFromOneCompanionToTheNext) {
    auto first = harness.authenticate();
    ASSERT_TRUE(first);
    auto second = harness.authenticate(R"({"maxEdge":1280,"bitrateMbps":3,"fps":30})");
    ASSERT_TRUE(second);

    EXPECT_EQ(first->receiveText(), R"({"replaced":{}})");
    EXPECT_TRUE(first->waitClosed());
    ASSERT_TRUE(harness.waitForStatuses(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(harness.statuses(),
              (std::vector<std::string>{"connected 127.0.0.1", "connected 127.0.0.1"}));
    EXPECT_EQ(harness.log().count("connected: 127.0.0.1"), 2);
    EXPECT_EQ(harness.log().count("disconnected: ", true), 0);
    EXPECT_EQ(harness.input->releases(), 1);
    EXPECT_EQ(harness.screen->calls(),
              (std::vector<std::string>{"start 1920x6x30", "setAudio 0 none", "stop",
                                        "start 1280x3x30", "setAudio 0 none"}));
    EXPECT_FALSE(second->closed());
}

TEST_F(RemoteServerTest, ActiveCompanionLeavingStopsItsStreamAndReleasesInput) {
    auto client = harness.authenticate();
    ASSERT_TRUE(client);
    client.reset();
    ASSERT_TRUE(harness.waitForStatuses(2));
    EXPECT_EQ(harness.statuses().back(), "waiting");
    EXPECT_TRUE(harness.log().waitFor("disconnected: 127.0.0.1"));
    EXPECT_TRUE(harness.input->waitForReleases(1));
    EXPECT_EQ(harness.screen->calls().back(), "stop");
}

TEST_F(RemoteServerTest, DisconnectAllClosesActiveAndPendingButKeepsListening) {
    auto active = harness.authenticate();
    auto pending1 = harness.connect();
    auto pending2 = harness.connect();
    ASSERT_TRUE(active && pending1 && pending2);
    harness.server().disconnectAll();
    EXPECT_TRUE(active->waitClosed());
    EXPECT_TRUE(pending1->waitClosed());
    EXPECT_TRUE(pending2->waitClosed());
    ASSERT_TRUE(harness.waitForStatuses(2));
    EXPECT_EQ(harness.statuses().back(), "waiting");
    EXPECT_TRUE(harness.authenticate());
}

TEST_F(RemoteServerTest, StopEndsEverything) {
    auto client = harness.authenticate();
    ASSERT_TRUE(client);
    harness.server().stop();
    EXPECT_TRUE(client->waitClosed());
    EXPECT_FALSE(harness.server().localPort("127.0.0.1"));
    EXPECT_FALSE(harness.connect());
}

// A flood of silent connections: with the pending bound reached, the oldest one is closed
// for each newcomer, so a companion that sends its hello at once always gets in.
TEST_F(RemoteServerTest, FloodOfIdleConnectionsDoesNotLockTheCompanionOut) {
    ServerHarness small;
    auto options = ServerHarness::fastOptions();
    options.maxPendingPeers = 8;
    options.helloTimeout = 30;
    small.start(options);

    boost::asio::io_context io;
    std::vector<boost::asio::ip::tcp::socket> idle;
    boost::asio::ip::tcp::endpoint server(boost::asio::ip::make_address("127.0.0.1"), small.port());
    for (int i = 0; i < 40; ++i) {
        idle.emplace_back(io).connect(server);
    }
    auto companion = small.authenticate();
    ASSERT_TRUE(companion);
    ASSERT_TRUE(small.waitForStatuses(1));
    // Reported at once and then once for what was held back, not once per connection: all 33
    // evictions (40 idle connections and the companion, 8 pending at most) are counted.
    const std::string report = "too many pending connections, closing 127.0.0.1 (";
    EXPECT_EQ(small.log().count(report + "1 since the last report)"), 1);
    auto reported = [&] {
        int total = 0;
        for (const auto& line : small.log().lines()) {
            if (line.starts_with(report)) {
                total += std::stoi(line.substr(report.size()));
            }
        }
        return total;
    };
    auto deadline = std::chrono::steady_clock::now() + 3s;
    while (reported() < 33 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(reported(), 33);
    EXPECT_LE(small.log().count("too many pending connections", true), 3);

    // The first idle connections were closed by the host.
    char byte;
    boost::system::error_code error;
    boost::asio::read(idle.front(), boost::asio::buffer(&byte, 1), error);
    EXPECT_TRUE(error);
}

}  // namespace
}  // namespace quelm::test
