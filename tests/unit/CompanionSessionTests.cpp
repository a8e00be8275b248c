#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "QuelmCore/WireCoder.hpp"
#include "QuelmHostKit/server/CompanionSession.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/ManualQueue.hpp"
#include "tests/fakes/RecordingCompanionConnection.hpp"
#include "tests/fakes/RecordingInputHandling.hpp"
#include "tests/fakes/RecordingScreenStreaming.hpp"

namespace quelm::test {
namespace {

constexpr const char* kSharingOn = R"({"clipboardSharing":{"_0":true}})";
constexpr const char* kSharingOff = R"({"clipboardSharing":{"_0":false}})";
constexpr const char* kImagesOn = R"({"clipboardImages":{"_0":true}})";
constexpr const char* kImagesOff = R"({"clipboardImages":{"_0":false}})";

const StreamConfig kConfig{1920, 6, 30};
const VideoFrame kFrame{7, 1920, 1080, true, {Bytes{0x67, 1}, Bytes{0x68}}, Bytes(3000, 0x65)};
const AudioPacket kPacket{3, Bytes{0x11, 0x90}, {Bytes{1, 2, 3}}};

Bytes asBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes imageBytes(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    return data;
}

std::string cursorText(double x, double y) {
    return *WireCoder::encode(ServerMessage::Cursor{x, y});
}

// One session on a manual queue, its connection, screen and input recorded; the pointer
// position and the uptime come from the test (the uptime is the queue's virtual clock).
class CompanionSessionTest : public ::testing::Test {
  protected:
    CompanionSession::Services services() {
        CompanionSession::Services services;
        services.queue = queue;
        services.screen = screen;
        services.input = input;
        services.hostInfo = [this] {
            HostInfo info = hostInfo;
            if (!selected.empty() && selected.back() != 0) {
                info.displayID = selected.back();
            }
            return info;
        };
        services.cursorPosition = [this] { return pointer ? pointer() : std::nullopt; };
        services.selectDisplay = [this](std::uint32_t display) { selected.push_back(display); };
        services.uptime = [this] { return queue->now(); };
        services.onClipboardText = [this](std::string text) { texts.push_back(std::move(text)); };
        services.onImage = [this](ClipImageData image) { images.push_back(std::move(image)); };
        services.onImagesWanted = [this](bool wanted) { imagesWanted.push_back(wanted); };
        return services;
    }

    void begin(StreamConfig config = kConfig, bool locked = false,
               CompanionSession::Carryover carried = {}) {
        session = CompanionSession::create(services(), connection, carried);
        session->start(ClientHello("secret", config, KeyboardLayoutKind::jis, 3), locked);
        queue->runPending();
    }

    // Begins and forgets what the greeting sent and called.
    void begun(StreamConfig config = kConfig) {
        begin(config);
        connection->clear();
        screen->clear();
    }

    void receive(const std::string& json) {
        session->received(asBytes(json));
        queue->runPending();
    }

    std::vector<ClipChunk> sentPieces() const {
        std::vector<ClipChunk> pieces;
        for (const auto& bytes : connection->binaries(Traffic::clipboard)) {
            auto chunk = ClipChunk::decode(bytes);
            EXPECT_TRUE(chunk);
            if (chunk) {
                pieces.push_back(*chunk);
            }
        }
        return pieces;
    }

    CapturingLogSink& log() { return logScope.sink(); }

    CapturingLogSink::Scope logScope;
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    std::shared_ptr<RecordingScreenStreaming> screen = std::make_shared<RecordingScreenStreaming>();
    std::shared_ptr<RecordingInputHandling> input = std::make_shared<RecordingInputHandling>();
    std::shared_ptr<RecordingCompanionConnection> connection =
        std::make_shared<RecordingCompanionConnection>();
    HostInfo hostInfo{1920, 1080, true, KeyboardLayoutKind::us};
    std::function<std::optional<CompanionSession::Point>()> pointer;
    std::vector<std::uint32_t> selected;
    std::vector<std::string> texts;
    std::vector<ClipImageData> images;
    std::vector<bool> imagesWanted;
    std::shared_ptr<CompanionSession> session;
};

TEST_F(CompanionSessionTest, GreetingSelectsTheDisplaySaysHelloAndStartsTheClampedStream) {
    for (bool locked : {false, true}) {
        SCOPED_TRACE(locked);
        connection = std::make_shared<RecordingCompanionConnection>();
        screen->clear();
        selected.clear();
        begin(StreamConfig{5000, 80, 100}, locked);

        HostInfo expected = hostInfo;
        expected.displayID = 3;
        std::vector<std::string> greeting{*WireCoder::encode(ServerMessage::Hello{expected})};
        if (locked) {
            greeting.push_back(R"({"screenLocked":{"_0":true}})");
        }
        EXPECT_EQ(connection->texts(), greeting);
        EXPECT_EQ(selected, std::vector<std::uint32_t>{3});
        EXPECT_EQ(screen->calls(),
                  (std::vector<std::string>{"start 3840x50x60", "setAudio 0 none"}));
        session->end();
    }
    EXPECT_EQ(input->messages().front(),
              ClientMessage(ClientMessage::SetLayout{KeyboardLayoutKind::jis}));
}

TEST_F(CompanionSessionTest, PointerIsReportedAtThirtyHertzAndOnlyWhenItMoves) {
    CompanionSession::Point at{0.5, 0.25};
    pointer = [&] { return std::optional(at); };
    begin();
    // The first report goes out with the greeting; a resting pointer sends nothing more.
    ASSERT_EQ(connection->texts().size(), 2u);
    EXPECT_EQ(connection->texts()[1], R"({"cursor":{"x":0.5,"y":0.25}})");
    connection->clear();
    queue->advance(1.0);
    EXPECT_TRUE(connection->texts().empty());

    at = {0.5, 0.3};
    queue->advance(1.0 / 30);
    EXPECT_EQ(connection->texts(), std::vector<std::string>{cursorText(0.5, 0.3)});

    // A pointer moving all the time is reported once a tick: 30 times a second.
    connection->clear();
    int moves = 0;
    pointer = [&] { return std::optional(CompanionSession::Point{0.001 * ++moves, 0}); };
    queue->advance(1.0);
    EXPECT_NEAR(static_cast<double>(connection->texts().size()), 30, 1);

    // No position, no report; and none at all once the session ended.
    connection->clear();
    pointer = [] { return std::nullopt; };
    queue->advance(0.5);
    EXPECT_TRUE(connection->texts().empty());
    pointer = [&] { return std::optional(CompanionSession::Point{0.9, 0.9}); };
    session->end();
    queue->advance(0.5);
    EXPECT_TRUE(connection->texts().empty());
}

TEST_F(CompanionSessionTest, MessagesAreRoutedToTheirService) {
    struct Case {
        const char* name;
        std::string json;
        std::vector<std::string> screenCalls;
        std::vector<ClientMessage> inputs;
        std::vector<std::string> replies;
    };
    const std::vector<Case> cases{
        {"ping", R"({"ping":{"ts":12.5}})", {}, {}, {R"({"pong":{"ts":12.5}})"}},
        {"ack", R"({"ack":{"seq":1}})", {"ack"}, {}, {}},
        {"refresh", R"({"refresh":{}})", {"keyFrame"}, {}, {}},
        {"config",
         R"({"config":{"_0":{"maxEdge":100,"bitrateMbps":100,"fps":1}}})",
         {"update 640x50x5"},
         {},
         {}},
        {"audio", R"({"audio":{"kbps":500}})", {"setAudio 256"}, {}, {}},
        {"audio off", R"({"audio":{"kbps":0}})", {"setAudio 0 none"}, {}, {}},
        {"move", R"({"move":{"dx":3,"dy":-2}})", {}, {ClientMessage::Move{3, -2}}, {}},
        {"invalid key",
         R"({"key":{"code":200,"down":true,"isRepeat":false,"modifiers":0}})",
         {},
         {},
         {}},
        {"not json", "{not json", {}, {}, {}},
        {"second hello",
         R"({"hello":{"_0":{"token":"x","config":{"maxEdge":1,"bitrateMbps":1,"fps":1}}}})",
         {},
         {},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        input = std::make_shared<RecordingInputHandling>();
        begun();
        receive(c.json);
        EXPECT_EQ(screen->calls(), c.screenCalls);
        auto inputs = input->messages();
        inputs.erase(inputs.begin());  // the greeting's setLayout
        EXPECT_EQ(inputs, c.inputs);
        EXPECT_EQ(connection->texts(), c.replies);
        session->end();
    }
}

TEST_F(CompanionSessionTest, DisplayChangeSaysHelloThenRestartsWithTheLastConfiguration) {
    begun();
    receive(R"({"config":{"_0":{"maxEdge":1280,"bitrateMbps":3,"fps":30}}})");
    receive(R"({"audio":{"kbps":64}})");
    screen->clear();
    receive(R"({"display":{"_0":2}})");
    HostInfo expected = hostInfo;
    expected.displayID = 2;
    EXPECT_EQ(connection->texts(),
              std::vector<std::string>{*WireCoder::encode(ServerMessage::Hello{expected})});
    EXPECT_EQ(selected, (std::vector<std::uint32_t>{3, 2}));
    EXPECT_EQ(screen->calls(),
              (std::vector<std::string>{"stop", "start 1280x3x30", "setAudio 64"}));
}

TEST_F(CompanionSessionTest, FramesPacketsAndErrorsHopOntoTheQueueAndStopWithTheSession) {
    begun();
    receive(R"({"audio":{"kbps":128}})");
    std::thread([&] {
        screen->deliverFrame(kFrame);
        screen->deliverPacket(kPacket);
        screen->deliverError("captureFailed");
    }).join();
    // Nothing is sent on the source's thread.
    EXPECT_TRUE(connection->sent().empty());
    queue->runPending();
    EXPECT_EQ(connection->binaries(Traffic::video), std::vector<Bytes>{*kFrame.encoded()});
    EXPECT_EQ(connection->binaries(Traffic::audio), std::vector<Bytes>{*kPacket.encoded()});
    EXPECT_EQ(connection->texts(), std::vector<std::string>{R"({"error":{"_0":"captureFailed"}})"});

    // What the source still delivers for an ended session goes to nobody.
    connection->clear();
    session->end();
    screen->deliverFrame(kFrame);
    screen->deliverPacket(kPacket);
    screen->deliverError("captureFailed");
    queue->runPending();
    EXPECT_TRUE(connection->sent().empty());

    // Nor does a source that outlives the session keep it alive.
    std::weak_ptr<CompanionSession> weak = session;
    session.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(screen->deliverFrame(kFrame));
    queue->runPending();
    EXPECT_TRUE(connection->sent().empty());
}

TEST_F(CompanionSessionTest, TrafficLineCoversFiveSecondsAndOnlyWhileAudioIsOn) {
    const auto frameBytes = static_cast<std::int64_t>(kFrame.encoded()->size());
    struct Case {
        const char* name;
        int audioKbps;
        double window;
        bool logged;
    };
    const std::vector<Case> cases{
        {"audio on, full window", 64, 5.0, true},
        {"audio on, window not over", 64, 4.9, false},
        {"audio off", 0, 5.0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log().clear();
        begun();
        receive(R"({"audio":{"kbps":)" + std::to_string(c.audioKbps) + "}}");
        // The first frame opens the window; two frames and a packet fall in it; the last
        // frame, at its end, counts too and writes the line.
        screen->deliverFrame(kFrame);
        queue->advance(1);
        screen->deliverFrame(kFrame);
        screen->deliverPacket(kPacket);
        queue->advance(1);
        screen->deliverFrame(kFrame);
        queue->advance(c.window - 2);
        screen->deliverFrame(kFrame);
        queue->runPending();
        std::string line = "traffic: video " + std::to_string(3 * frameBytes / 625) +
                           "kbps, largest frame " + std::to_string(frameBytes / 1024) +
                           "KB, audio " + std::to_string(c.audioKbps > 0 ? 1 : 0) + " packets";
        EXPECT_EQ(log().count(line), c.logged ? 1 : 0) << line;
        EXPECT_EQ(log().count("traffic: video ", true), c.logged ? 1 : 0);
        session->end();
        queue->advance(10);  // the next case opens a window of its own
    }
}

TEST_F(CompanionSessionTest, LockIsReportedOnChangeAndUnlockRestartsTheStream) {
    begun();
    session->setLocked(false);
    session->setLocked(true);
    session->setLocked(true);
    EXPECT_EQ(connection->texts(), std::vector<std::string>{R"({"screenLocked":{"_0":true}})"});
    EXPECT_TRUE(screen->calls().empty());

    connection->clear();
    session->setLocked(false);
    EXPECT_EQ(connection->texts(), std::vector<std::string>{R"({"screenLocked":{"_0":false}})"});
    EXPECT_EQ(screen->calls(),
              (std::vector<std::string>{"stop", "start 1920x6x30", "setAudio 0 none"}));

    session->end();
    connection->clear();
    session->setLocked(true);
    EXPECT_TRUE(connection->texts().empty());
}

TEST_F(CompanionSessionTest, ClipboardTextFromThePhoneNeedsNoSharingHostTextDoes) {
    begun();
    receive(R"({"clipboard":{"_0":"héllo"}})");
    EXPECT_EQ(texts, std::vector<std::string>{"héllo"});
    EXPECT_EQ(log().count("clipboard text from phone: 6 bytes"), 1);

    struct Case {
        const char* name;
        std::vector<const char*> switches;
        std::size_t bytes;
        bool sent;
    };
    const std::vector<Case> cases{
        {"sharing never on", {}, 10, false},
        {"sharing on", {kSharingOn}, 10, true},
        {"at the limit", {kSharingOn}, 48000, true},
        {"one byte over", {kSharingOn}, 48001, false},
        {"sharing off again", {kSharingOn, kSharingOff}, 10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        begun();
        for (const char* message : c.switches) {
            receive(message);
        }
        std::string text(c.bytes, 'a');
        session->sendClipboard(text);
        auto expected =
            c.sent ? std::vector<std::string>{*WireCoder::encode(ServerMessage::Clipboard{text})}
                   : std::vector<std::string>{};
        EXPECT_EQ(connection->texts(), expected);
        session->end();
    }
}

TEST_F(CompanionSessionTest, ImagePiecesArePacedByTheVideoRate) {
    struct Case {
        double bitrateMbps;
        double interval;
    };
    // One 32768-byte piece at 40 % of the video rate, never below 1 Mbit/s.
    const std::vector<Case> cases{{6, 0.109227}, {1, 0.262144}, {0.5, 0.262144}, {50, 0.0131072}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bitrateMbps);
        EXPECT_NEAR(CompanionSession::imagePieceInterval(StreamConfig{1920, c.bitrateMbps, 30}),
                    c.interval, 1e-6);
        begun(StreamConfig{1920, c.bitrateMbps, 30});
        receive(kSharingOn);
        receive(kImagesOn);
        session->sendClipboardImage(imageBytes(3 * ClipChunk::payloadBytes), ClipImageFormat::png);
        queue->runPending();
        EXPECT_EQ(sentPieces().size(), 1u);  // the first piece goes at once
        queue->advance(c.interval * 0.95);
        EXPECT_EQ(sentPieces().size(), 1u);
        queue->advance(c.interval * 0.1);
        EXPECT_EQ(sentPieces().size(), 2u);
        queue->advance(c.interval);
        EXPECT_EQ(sentPieces().size(), 3u);
        queue->advance(c.interval * 3);
        EXPECT_EQ(sentPieces().size(), 3u);
        session->end();
    }
    EXPECT_NEAR(CompanionSession::imagePieceInterval(std::nullopt), 0.109227, 1e-6);
}

TEST_F(CompanionSessionTest, ANewerImageReplacesTheRestAndNumbersFollowOn) {
    begun();
    receive(kSharingOn);
    receive(kImagesOn);
    const Bytes first = imageBytes(3 * ClipChunk::payloadBytes);
    const Bytes second = imageBytes(ClipChunk::payloadBytes + 10);
    session->sendClipboardImage(first, ClipImageFormat::png);
    queue->runPending();
    session->sendClipboardImage(second, ClipImageFormat::jpeg);
    queue->advance(5);

    auto pieces = sentPieces();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].transfer, 1u);
    EXPECT_EQ(pieces[0].index, 0);
    ClipAssembler assembler;
    std::optional<ClipImageData> image;
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        EXPECT_EQ(pieces[i].transfer, 2u);
        image = assembler.add(pieces[i]);
    }
    ASSERT_TRUE(image);
    EXPECT_EQ(*image, (ClipImageData{second, ClipImageFormat::jpeg}));
    EXPECT_EQ(log().count("clipboard image sent: 2 pieces"), 1);
    EXPECT_EQ(log().count("clipboard image sent: ", true), 1);

    // The numbering goes on with the next companion, and wraps after the largest number.
    auto carried = session->carryover();
    EXPECT_EQ(carried.lastTransfer, 2u);
    session->end();
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> numbering{{2, 3}, {0xFFFFFFFF, 0}};
    for (auto [last, next] : numbering) {
        connection->clear();
        carried.lastTransfer = last;
        begin(kConfig, false, carried);
        receive(kSharingOn);
        receive(kImagesOn);
        session->sendClipboardImage(imageBytes(100), ClipImageFormat::png);
        queue->runPending();
        ASSERT_EQ(sentPieces().size(), 1u);
        EXPECT_EQ(sentPieces()[0].transfer, next);
        session->end();
    }
}

TEST_F(CompanionSessionTest, TurningImagesOrSharingOffStopsATransfer) {
    for (const char* off : {kImagesOff, kSharingOff}) {
        SCOPED_TRACE(off);
        imagesWanted.clear();
        begun();
        receive(kSharingOn);
        receive(kImagesOn);
        session->sendClipboardImage(imageBytes(4 * ClipChunk::payloadBytes), ClipImageFormat::png);
        queue->advance(0.15);
        EXPECT_EQ(sentPieces().size(), 2u);
        receive(off);
        queue->advance(2);
        EXPECT_EQ(sentPieces().size(), 2u);
        session->end();
        EXPECT_EQ(imagesWanted.back(), false);
    }
    EXPECT_EQ(log().count("phone takes clipboard images: true"), 2);
    EXPECT_EQ(log().count("phone takes clipboard images: false"), 1);
}

TEST_F(CompanionSessionTest, ImageFromThePhoneIsAssembledOnceWhateverTheOrder) {
    begun();
    const Bytes data = imageBytes(2 * ClipChunk::payloadBytes + 5);
    auto chunks = ClipImage::chunks(data, ClipImageFormat::jpeg, 9);
    ASSERT_EQ(chunks.size(), 3u);
    for (int index : {2, 0, 2, 1, 1}) {
        session->received(chunks[static_cast<std::size_t>(index)].encoded());
    }
    session->received(Bytes{ClipChunk::tag, 1, 2});  // does not decode
    EXPECT_EQ(images, (std::vector<ClipImageData>{{data, ClipImageFormat::jpeg}}));
    EXPECT_EQ(log().count("clipboard image from phone: 64KB"), 1);
}

TEST_F(CompanionSessionTest, EndingStopsEverythingOnceAndKeepsTheSwitchesForTheLog) {
    CompanionSession::Point at{0.1, 0.1};
    pointer = [&] { return std::optional(at); };
    begun();
    receive(kSharingOn);
    receive(kImagesOn);
    session->sendClipboardImage(imageBytes(3 * ClipChunk::payloadBytes), ClipImageFormat::png);
    queue->runPending();
    connection->clear();

    session->end();
    session->end();
    EXPECT_TRUE(session->ended());
    EXPECT_EQ(screen->calls(), std::vector<std::string>{"stop"});
    EXPECT_EQ(input->releases(), 1);
    EXPECT_EQ(imagesWanted, (std::vector<bool>{true, false}));
    // Closing the connection is the server's business.
    EXPECT_FALSE(connection->closed());

    at = {0.2, 0.2};
    receive(R"({"ping":{"ts":1}})");
    session->sendClipboard("text");
    session->sendClipboardImage(imageBytes(100), ClipImageFormat::png);
    queue->advance(2);
    EXPECT_TRUE(connection->sent().empty());
    EXPECT_EQ(log().count("clipboard image not sent: sharing true, images false, connected false"),
              1);
    // Its timers are gone with it: the queue runs dry.
    session.reset();
    queue->advance(1);
    EXPECT_EQ(queue->pendingCount(), 0u);
}

}  // namespace
}  // namespace quelm::test
