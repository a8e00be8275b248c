#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "QuelmCore/WireCoder.hpp"
#include "tests/fakes/ServerHarness.hpp"

namespace quelm::test {
namespace {

using namespace std::chrono_literals;

const VideoFrame kKeyFrame{
    7, 1920, 1080, true, {Bytes{0x67, 1, 2}, Bytes{0x68, 3}}, Bytes{0, 0, 0, 2, 0x65, 9}};
const AudioPacket kPacket{3, Bytes{0x11, 0x90}, {Bytes{1, 2, 3}, Bytes{4}}};

std::string asText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Sent from a thread of its own, as the capture and encoder queues do.
template <class F>
void fromAnotherThread(F fn) {
    std::thread(fn).join();
}

class RemoteServerRoutingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        harness.start();
        companion = harness.authenticate();
        ASSERT_TRUE(companion);
        // start + setAudio of the activation, and its setLayout.
        ASSERT_TRUE(harness.screen->waitForCalls(2));
        ASSERT_TRUE(harness.input->waitForMessages(1));
        harness.screen->clear();
    }

    // Asks for a pong and waits for it: everything sent before has been handled.
    void roundTrip() {
        companion->sendText(R"({"ping":{"ts":424242}})");
        while (auto text = companion->receiveText()) {
            if (*text == R"({"pong":{"ts":424242}})") {
                return;
            }
            others.push_back(*text);
        }
        FAIL() << "no pong";
    }

    ServerHarness harness;
    std::unique_ptr<WsTestClient> companion;
    std::vector<std::string> others;
};

TEST_F(RemoteServerRoutingTest, InputMessagesReachTheInjectorValidatedAndInOrder) {
    const std::vector<std::string> sent{
        R"({"move":{"dx":20000,"dy":-2}})",
        R"({"key":{"code":200,"down":true,"isRepeat":false,"modifiers":0}})",  // dropped
        R"({"moveTo":{"x":-0.2,"y":1.7}})",
        R"({"button":{"right":true,"down":true,"modifiers":9}})",
        R"({"dragButton":{"down":false,"modifiers":0}})",
        R"({"scroll":{"dx":0,"dy":-12}})",
        R"({"move":{"dx":1}})",  // does not decode
        R"({"key":{"code":12,"down":true,"isRepeat":true,"modifiers":8}})",
        R"({"text":{"_0":"héllo"}})",
        R"({"setLayout":{"_0":"jis"}})",
        R"({"system":{"_0":"spaceLeft"}})",
    };
    for (const auto& text : sent) {
        companion->sendText(text);
    }
    roundTrip();
    std::vector<ClientMessage> expected{
        ClientMessage::SetLayout{},
        ClientMessage::Move{10000, -2},
        ClientMessage::MoveTo{0, 1},
        ClientMessage::Button{true, true, Modifiers(9)},
        ClientMessage::DragButton{false, Modifiers(0)},
        ClientMessage::Scroll{0, -12},
        ClientMessage::Key{12, true, true, Modifiers(8)},
        ClientMessage::Text{"héllo"},
        ClientMessage::SetLayout{KeyboardLayoutKind::jis},
        ClientMessage::System{SystemAction::spaceLeft},
    };
    EXPECT_EQ(harness.input->messages(), expected);
    EXPECT_TRUE(harness.screen->calls().empty());
    EXPECT_FALSE(companion->closed());
}

TEST_F(RemoteServerRoutingTest, StreamMessagesReachTheSourceInOrder) {
    companion->sendText(R"({"ack":{"seq":1}})");
    companion->sendText(R"({"refresh":{}})");
    companion->sendText(R"({"config":{"_0":{"maxEdge":100,"bitrateMbps":100,"fps":1}}})");
    companion->sendText(R"({"audio":{"kbps":500}})");
    companion->sendText(R"({"audio":{"kbps":-5}})");
    companion->sendText(R"({"audio":{"kbps":1}})");
    companion->sendText(R"({"display":{"_0":2}})");
    auto hello = companion->receiveText();
    ASSERT_TRUE(hello);
    HostInfo expected = harness.hostInfo;
    expected.displayID = 2;
    EXPECT_EQ(*hello, *WireCoder::encode(ServerMessage::Hello{expected}));
    roundTrip();
    // A display change restarts the stream with the last configuration and the audio rate.
    EXPECT_EQ(harness.screen->calls(),
              (std::vector<std::string>{"ack", "keyFrame", "update 640x50x5", "setAudio 256",
                                        "setAudio 0 none", "setAudio 32", "stop", "start 640x50x5",
                                        "setAudio 32"}));
    EXPECT_EQ(harness.selectedDisplays(), (std::vector<std::uint32_t>{0, 2}));
}

TEST_F(RemoteServerRoutingTest, PingIsAnsweredAndBadJsonIsIgnoredWithoutAnswer) {
    companion->sendText("{not json");
    companion->sendText(
        R"({"hello":{"_0":{"token":"x","config":{"maxEdge":1,"bitrateMbps":1,"fps":1}}}})");
    companion->sendText(R"({"ping":{"ts":12.5}})");
    EXPECT_EQ(companion->receiveText(), R"({"pong":{"ts":12.5}})");
    EXPECT_FALSE(companion->receive(0.1));
    EXPECT_FALSE(companion->closed());
}

TEST_F(RemoteServerRoutingTest, FramesPacketsAndErrorsGoOutInTheirLayouts) {
    companion->sendText(R"({"audio":{"kbps":128}})");
    roundTrip();
    fromAnotherThread([&] {
        EXPECT_TRUE(harness.screen->deliverFrame(kKeyFrame));
        EXPECT_TRUE(harness.screen->deliverPacket(kPacket));
        EXPECT_TRUE(harness.screen->deliverError("captureFailed"));
    });
    auto frame = companion->receive();
    ASSERT_TRUE(frame);
    EXPECT_FALSE(frame->text);
    EXPECT_EQ(frame->data, asText(*kKeyFrame.encoded()));
    auto packet = companion->receive();
    ASSERT_TRUE(packet);
    EXPECT_FALSE(packet->text);
    EXPECT_EQ(packet->data, asText(*kPacket.encoded()));
    EXPECT_EQ(companion->receiveText(), R"({"error":{"_0":"captureFailed"}})");
}

TEST_F(RemoteServerRoutingTest, FramesForAReplacedCompanionGoToNobody) {
    auto oldHandler = harness.screen->frameHandler();
    auto next = harness.authenticate();
    ASSERT_TRUE(next);
    fromAnotherThread([&] { oldHandler(kKeyFrame); });
    VideoFrame fresh = kKeyFrame;
    fresh.seq = 8;
    fromAnotherThread([&] { harness.screen->deliverFrame(fresh); });
    auto received = next->receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->data, asText(*fresh.encoded()));
    EXPECT_EQ(companion->receiveText(), R"({"replaced":{}})");
    EXPECT_FALSE(companion->receive(0.1));
}

TEST_F(RemoteServerRoutingTest, LockIsReportedOnceAndUnlockRestartsTheStream) {
    harness.server().setLocked(true);
    harness.server().setLocked(true);
    roundTrip();
    EXPECT_EQ(others, std::vector<std::string>{R"({"screenLocked":{"_0":true}})"});
    EXPECT_TRUE(harness.screen->calls().empty());

    // A companion arriving while locked hears it right after the hello.
    auto late = harness.connect();
    ASSERT_TRUE(late);
    late->sendText(ServerHarness::hello(ServerHarness::kToken));
    auto hello = late->receiveText();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->rfind(R"({"hello":)", 0), 0u);
    EXPECT_EQ(late->receiveText(), R"({"screenLocked":{"_0":true}})");
    harness.screen->clear();

    harness.server().setLocked(false);
    EXPECT_EQ(late->receiveText(), R"({"screenLocked":{"_0":false}})");
    ASSERT_TRUE(harness.screen->waitForCalls(3));
    EXPECT_EQ(harness.screen->calls(),
              (std::vector<std::string>{"stop", "start 1920x6x30", "setAudio 0 none"}));
}

TEST_F(RemoteServerRoutingTest, PointerIsReportedOnlyWhenItMoves) {
    harness.setCursor(RemoteServer::Point{0.5, 0.25});
    EXPECT_EQ(companion->receiveText(), R"({"cursor":{"x":0.5,"y":0.25}})");
    // Resting for several ticks sends nothing more.
    EXPECT_FALSE(companion->receive(0.2));
    harness.setCursor(std::nullopt);
    EXPECT_FALSE(companion->receive(0.1));
    harness.setCursor(RemoteServer::Point{0.5, 0.3});
    EXPECT_EQ(companion->receiveText(), R"({"cursor":{"x":0.5,"y":0.3}})");
}

TEST_F(RemoteServerRoutingTest, TrafficLineOnlyWhileAudioIsOn) {
    auto playFrame = [&](double at) {
        harness.setUptime(at);
        fromAnotherThread([&] { harness.screen->deliverFrame(kKeyFrame); });
        ASSERT_TRUE(companion->receive());
    };
    playFrame(1000);  // opens the first window
    playFrame(1003);
    playFrame(1010);
    playFrame(1020);
    EXPECT_EQ(harness.log().count("traffic: video ", true), 0);

    companion->sendText(R"({"audio":{"kbps":64}})");
    roundTrip();
    playFrame(1021);
    fromAnotherThread([&] { harness.screen->deliverPacket(kPacket); });
    ASSERT_TRUE(companion->receive());
    playFrame(1026);
    // Two frames (the one closing the window not yet counted) and one packet in the window.
    auto frameBytes = static_cast<int>(kKeyFrame.encoded()->size());
    EXPECT_EQ(harness.log().count("traffic: video " + std::to_string(frameBytes / 625) +
                                  "kbps, largest frame 0KB, audio 1 packets"),
              1);
}

TEST(RemoteServerSlowReader, QueueStaysBoundedAndOverflowClosesThePeer) {
    constexpr std::size_t kAudioBound = 64u << 10;
    ServerHarness harness;
    auto options = ServerHarness::fastOptions();
    options.peerLimits.maxQueuedBytes = 1u << 20;
    options.peerLimits.maxQueuedAudioBytes = kAudioBound;
    harness.start(options);

    WsTestClient::Options stalling;
    stalling.read = false;
    stalling.receiveBufferBytes = 4096;
    auto stalled = harness.connect(stalling);
    ASSERT_TRUE(stalled);
    stalled->sendText(ServerHarness::hello(ServerHarness::kToken));
    stalled->sendText(R"({"audio":{"kbps":128}})");
    ASSERT_TRUE(harness.waitForStatuses(1));
    ASSERT_TRUE(harness.screen->waitForCalls(3));  // start, setAudio 0, setAudio 128

    // Frames until the socket is full and the queue holds a backlog of them.
    VideoFrame frame{1, 1920, 1080, true, {}, Bytes(200000, 0x11)};
    std::size_t backlog = 0;
    for (int i = 0; i < 200 && backlog < 400000; ++i) {
        fromAnotherThread([&] { harness.screen->deliverFrame(frame); });
        // A backlog that survives a pause means the socket takes nothing more.
        std::this_thread::sleep_for(20ms);
        backlog = harness.server().activeQueuedBytes().value_or(0);
    }
    ASSERT_GE(backlog, 400000u);

    // Far more audio and pointer traffic than the queue bounds hold.
    AudioPacket big{1, {}, {Bytes(2000, 0xAB), Bytes(2000, 0xCD)}};
    fromAnotherThread([&] {
        for (int i = 0; i < 2000; ++i) {
            harness.screen->deliverPacket(big);
            if (i % 10 == 0) {
                harness.setCursor(RemoteServer::Point{i / 2000.0, 0.5});
            }
        }
    });
    harness.drain();
    auto queued = harness.server().activeQueuedBytes();
    ASSERT_TRUE(queued);  // dropping audio does not end the connection
    // The frames stay; of the audio only the newest within its bound, of the cursor one report.
    EXPECT_GE(*queued, backlog - 200000);
    EXPECT_LE(*queued, backlog + kAudioBound + 100);

    // Video cannot be dropped: when it no longer fits, the companion is closed.
    fromAnotherThread([&] {
        for (int i = 0; i < 10; ++i) {
            harness.screen->deliverFrame(frame);
        }
    });
    EXPECT_TRUE(harness.log().waitFor("send queue full, closing 127.0.0.1"));
    ASSERT_TRUE(harness.waitForStatuses(2));
    EXPECT_EQ(harness.statuses().back(), "waiting");
    EXPECT_FALSE(harness.server().activeQueuedBytes());
}

}  // namespace
}  // namespace quelm::test
