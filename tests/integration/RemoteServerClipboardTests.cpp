#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "QuelmCore/ClipAssembler.hpp"
#include "QuelmCore/ClipChunk.hpp"
#include "QuelmCore/ClipImage.hpp"
#include "QuelmCore/WireCoder.hpp"
#include "tests/fakes/ServerHarness.hpp"

namespace quelm::test {
namespace {

constexpr const char* kSharingOn = R"({"clipboardSharing":{"_0":true}})";
constexpr const char* kSharingOff = R"({"clipboardSharing":{"_0":false}})";
constexpr const char* kImagesOn = R"({"clipboardImages":{"_0":true}})";
constexpr const char* kImagesOff = R"({"clipboardImages":{"_0":false}})";
// 1 Mbit/s paces pieces 0.262 s apart: room for a test to act between two of them.
constexpr const char* kSlowConfig = R"({"maxEdge":1920,"bitrateMbps":1,"fps":30})";

Bytes imageBytes(std::size_t size, std::uint8_t seed = 0) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251);
    }
    return bytes;
}

std::string clipboardMessage(const std::string& text) {
    return *WireCoder::encode(ServerMessage::Clipboard{text});
}

// A server with one authenticated companion.
class Session {
  public:
    explicit Session(const std::string& config = R"({"maxEdge":1920,"bitrateMbps":6,"fps":30})") {
        harness.start();
        companion = harness.authenticate(config);
    }

    // Asks for a pong and waits for it: everything sent before it has been handled, and what
    // the server sent before answering has arrived. Other texts are kept in `texts`.
    bool roundTrip(WsTestClient& client) {
        client.sendText(R"({"ping":{"ts":777}})");
        while (auto message = client.receive()) {
            if (!message->text) {
                chunks.push_back(decodeChunk(message->data));
            } else if (message->data == R"({"pong":{"ts":777}})") {
                return true;
            } else {
                texts.push_back(message->data);
            }
        }
        return false;
    }
    bool roundTrip() { return roundTrip(*companion); }

    // The next binary message as a chunk; texts in between are kept in `texts`.
    std::optional<ClipChunk> nextChunk(double seconds = 2.0) {
        while (auto message = companion->receive(seconds)) {
            if (!message->text) {
                return decodeChunk(message->data);
            }
            texts.push_back(message->data);
        }
        return std::nullopt;
    }

    static ClipChunk decodeChunk(const std::string& data) {
        auto chunk = ClipChunk::decode(Bytes(data.begin(), data.end()));
        EXPECT_TRUE(chunk) << "a binary message that is not a chunk";
        return chunk.value_or(ClipChunk{});
    }

    void wantImages() {
        companion->sendText(kSharingOn);
        companion->sendText(kImagesOn);
        ASSERT_TRUE(roundTrip());
    }

    ServerHarness harness;
    std::unique_ptr<WsTestClient> companion;
    std::vector<std::string> texts;
    std::vector<ClipChunk> chunks;
};

TEST(RemoteServerClipboard, PieceIntervalFollowsTheVideoRateWithAFloor) {
    struct Case {
        std::optional<double> mbps;
        double seconds;
    };
    const std::vector<Case> cases{
        {std::nullopt, 262144.0 / 2400000.0},  // no configuration: as 6 Mbit/s
        {6, 262144.0 / 2400000.0},             // ~0.109 s
        {1, 0.262144},                         // 0.4 Mbit/s raised to the 1 Mbit/s floor
        {2.5, 0.262144},                       // exactly the floor
        {50, 262144.0 / 20000000.0},           // ~0.013 s
    };
    for (const auto& c : cases) {
        std::optional<StreamConfig> config;
        if (c.mbps) {
            config = StreamConfig{1920, *c.mbps, 30};
        }
        EXPECT_NEAR(RemoteServer::imagePieceInterval(config), c.seconds, 1e-9)
            << (c.mbps ? std::to_string(*c.mbps) : "none");
    }
    EXPECT_NEAR(RemoteServer::imagePieceInterval(StreamConfig{1920, 6, 30}), 0.109, 0.001);
    EXPECT_NEAR(RemoteServer::imagePieceInterval(StreamConfig{1920, 50, 30}), 0.013, 0.001);
}

TEST(RemoteServerClipboard, TextFromThePhoneReachesTheAppWithoutSharing) {
    Session session;
    ASSERT_TRUE(session.companion);
    session.companion->sendText(R"({"clipboard":{"_0":"héllo"}})");
    ASSERT_TRUE(session.harness.waitForClipboardTexts(1));
    EXPECT_EQ(session.harness.clipboardTexts(), std::vector<std::string>{"héllo"});
    EXPECT_EQ(session.harness.log().count("clipboard text from phone: 6 bytes"), 1);
}

TEST(RemoteServerClipboard, HostTextNeedsSharingFitsTheLimitAndEndsWithANewHello) {
    Session session;
    ASSERT_TRUE(session.companion);
    auto& server = session.harness.server();
    // Two UTF-8 bytes a character: the limit counts bytes, not characters.
    std::string atLimit;
    for (int i = 0; i < Wire::maxClipboardBytes / 2; ++i) {
        atLimit += "é";
    }
    struct Step {
        const char* name;
        const char* before;  // sent by the companion first, if any
        std::string text;
        bool sent;
    };
    const std::vector<Step> steps{
        {"sharing never turned on", nullptr, "early", false},
        {"sharing on", kSharingOn, "copied", true},
        {"exactly 48000 bytes", nullptr, atLimit, true},
        {"one byte more", nullptr, atLimit + "a", false},
        {"empty text", nullptr, "", true},
        {"sharing off", kSharingOff, "late", false},
    };
    for (const auto& step : steps) {
        if (step.before) {
            session.companion->sendText(step.before);
            ASSERT_TRUE(session.roundTrip());
        }
        session.texts.clear();
        server.sendClipboard(step.text);
        ASSERT_TRUE(session.roundTrip()) << step.name;
        EXPECT_EQ(session.texts, step.sent ? std::vector<std::string>{clipboardMessage(step.text)}
                                           : std::vector<std::string>{})
            << step.name;
    }

    // A new hello starts with sharing and images off, whatever the companion asked before.
    session.companion->sendText(kSharingOn);
    session.companion->sendText(kImagesOn);
    ASSERT_TRUE(session.roundTrip());
    EXPECT_TRUE(server.acceptsImages());
    auto next = session.harness.authenticate();
    ASSERT_TRUE(next);
    EXPECT_FALSE(server.acceptsImages());
    server.sendClipboard("after hello");
    session.texts.clear();
    ASSERT_TRUE(session.roundTrip(*next));
    EXPECT_TRUE(session.texts.empty());
    next->sendText(kSharingOn);
    ASSERT_TRUE(session.roundTrip(*next));
    server.sendClipboard("again");
    ASSERT_TRUE(session.roundTrip(*next));
    EXPECT_EQ(session.texts, std::vector<std::string>{clipboardMessage("again")});
}

TEST(RemoteServerClipboard, ImageIsNotSentUnlessSharingImagesAndACompanionAreThere) {
    struct Case {
        std::vector<const char*> asked;
        std::string line;
    };
    const std::vector<Case> cases{
        {{}, "clipboard image not sent: sharing false, images false, connected true"},
        {{kSharingOn}, "clipboard image not sent: sharing true, images false, connected true"},
        {{kImagesOn}, "clipboard image not sent: sharing false, images true, connected true"},
        {{kSharingOn, kImagesOn, kImagesOff},
         "clipboard image not sent: sharing true, images false, connected true"},
    };
    for (const auto& c : cases) {
        Session session;
        ASSERT_TRUE(session.companion);
        for (const char* message : c.asked) {
            session.companion->sendText(message);
        }
        ASSERT_TRUE(session.roundTrip());
        session.harness.server().sendClipboardImage(imageBytes(100), ClipImageFormat::png);
        ASSERT_TRUE(session.harness.log().waitFor("clipboard image not sent: ")) << c.line;
        EXPECT_EQ(session.harness.log().count(c.line), 1) << c.line;
        EXPECT_FALSE(session.companion->receive(0.15)) << c.line;
        EXPECT_EQ(session.harness.log().count("clipboard image to phone: ", true), 0);
    }

    // Closing the companion forgets that it takes images; sharing is only reset by a hello.
    Session session;
    ASSERT_TRUE(session.companion);
    session.wantImages();
    session.companion.reset();
    ASSERT_TRUE(session.harness.waitForStatuses(2));
    EXPECT_FALSE(session.harness.server().acceptsImages());
    session.harness.server().sendClipboardImage(imageBytes(100), ClipImageFormat::png);
    EXPECT_TRUE(session.harness.log().waitFor(
        "clipboard image not sent: sharing true, images false, connected false"));
}

TEST(RemoteServerClipboard, ImagesGoOutPacedAndNumberedAndANewerOneReplacesTheRest) {
    Session session(kSlowConfig);
    ASSERT_TRUE(session.companion);
    session.wantImages();
    auto& server = session.harness.server();
    auto& log = session.harness.log();

    // The first image after start is transfer 1; its pieces put it back together.
    const Bytes first = imageBytes(ClipChunk::payloadBytes + 100, 1);
    server.sendClipboardImage(first, ClipImageFormat::jpeg);
    ClipAssembler assembler;
    std::optional<ClipImageData> image;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2; ++i) {
        auto chunk = session.nextChunk();
        ASSERT_TRUE(chunk);
        EXPECT_EQ(chunk->transfer, 1u);
        EXPECT_EQ(chunk->index, i);
        EXPECT_EQ(chunk->count, 2);
        image = assembler.add(*chunk);
    }
    // The second piece waited for one interval of the 1 Mbit/s floor.
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.2);
    ASSERT_TRUE(image);
    EXPECT_EQ(*image, (ClipImageData{first, ClipImageFormat::jpeg}));
    EXPECT_TRUE(log.waitFor("clipboard image sent: 2 pieces"));
    EXPECT_EQ(log.count("clipboard image to phone: 32KB"), 1);

    // Two images in quick succession: the second replaces what is left of the first.
    server.sendClipboardImage(imageBytes(3 * ClipChunk::payloadBytes, 2), ClipImageFormat::png);
    auto firstPiece = session.nextChunk();
    ASSERT_TRUE(firstPiece);
    EXPECT_EQ(firstPiece->transfer, 2u);
    EXPECT_EQ(firstPiece->index, 0);
    EXPECT_EQ(firstPiece->count, 3);
    const Bytes third = imageBytes(ClipChunk::payloadBytes + 1, 3);
    server.sendClipboardImage(third, ClipImageFormat::png);
    std::vector<std::pair<std::uint32_t, std::uint16_t>> seen;
    for (int i = 0; i < 2; ++i) {
        auto chunk = session.nextChunk();
        ASSERT_TRUE(chunk);
        seen.emplace_back(chunk->transfer, chunk->index);
        image = assembler.add(*chunk);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, std::uint16_t>>{{3, 0}, {3, 1}}));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->data, third);
    // Nothing of transfer 2 comes later, and the timer ends after the last piece.
    EXPECT_FALSE(session.companion->receive(0.6));
    EXPECT_EQ(log.count("clipboard image sent: 3 pieces"), 0);
    EXPECT_EQ(log.count("clipboard image sent: 2 pieces"), 2);
}

TEST(RemoteServerClipboard, TransferStopsWhenTheCompanionTurnsImagesOrSharingOff) {
    struct Case {
        const char* message;
        const char* line;
    };
    const std::vector<Case> cases{
        {kImagesOff, "phone takes clipboard images: false"},
        {kSharingOff, nullptr},
    };
    for (const auto& c : cases) {
        Session session(kSlowConfig);
        ASSERT_TRUE(session.companion);
        session.wantImages();
        session.harness.server().sendClipboardImage(imageBytes(3 * ClipChunk::payloadBytes),
                                                    ClipImageFormat::png);
        auto chunk = session.nextChunk();
        ASSERT_TRUE(chunk) << c.message;
        EXPECT_EQ(chunk->index, 0) << c.message;
        session.companion->sendText(c.message);
        ASSERT_TRUE(session.roundTrip()) << c.message;
        EXPECT_TRUE(session.chunks.empty()) << c.message;
        EXPECT_FALSE(session.companion->receive(0.6)) << c.message;
        if (c.line) {
            EXPECT_EQ(session.harness.log().count(c.line), 1);
        }
        EXPECT_EQ(session.harness.log().count("clipboard image sent: ", true), 0) << c.message;

        // Asked again, a new image goes out with the next number.
        session.wantImages();
        session.harness.server().sendClipboardImage(imageBytes(10), ClipImageFormat::png);
        auto again = session.nextChunk();
        ASSERT_TRUE(again) << c.message;
        EXPECT_EQ(again->transfer, 2u) << c.message;
        EXPECT_EQ(again->count, 1) << c.message;
    }
}

TEST(RemoteServerClipboard, ImageFromThePhoneIsAssembledOnceWhateverTheOrder) {
    Session session;
    ASSERT_TRUE(session.companion);
    const Bytes image = imageBytes(2 * ClipChunk::payloadBytes + 100, 5);
    auto chunks = ClipImage::chunks(image, ClipImageFormat::jpeg, 9);
    ASSERT_EQ(chunks.size(), 3u);
    auto& companion = *session.companion;
    companion.sendBinary(chunks[2].encoded());
    companion.sendBinary(chunks[0].encoded());
    companion.sendBinary(chunks[2].encoded());          // a duplicate is taken once
    companion.sendBinary(Bytes{ClipChunk::tag, 1, 2});  // does not decode: dropped
    companion.sendBinary(chunks[1].encoded());          // completes the image
    companion.sendBinary(chunks[1].encoded());          // starts over, completes nothing
    // A one-piece image behind them: once it is there, everything before it has been seen.
    const Bytes marker = imageBytes(10, 6);
    companion.sendBinary(ClipImage::chunks(marker, ClipImageFormat::png, 10)[0].encoded());
    ASSERT_TRUE(session.harness.waitForImages(2));
    EXPECT_EQ(session.harness.images(),
              (std::vector<ClipImageData>{{image, ClipImageFormat::jpeg},
                                          {marker, ClipImageFormat::png}}));
    EXPECT_EQ(session.harness.log().count("clipboard image from phone: 64KB"), 1);
    EXPECT_EQ(session.harness.log().count("clipboard image from phone: 0KB"), 1);
    EXPECT_FALSE(companion.closed());
}

TEST(RemoteServerClipboard, ChunksOfAReplacedCompanionAreDropped) {
    Session session;
    ASSERT_TRUE(session.companion);
    auto chunks =
        ClipImage::chunks(imageBytes(ClipChunk::payloadBytes + 1), ClipImageFormat::png, 4);
    session.companion->sendBinary(chunks[0].encoded());
    ASSERT_TRUE(session.roundTrip());
    auto next = session.harness.authenticate();
    ASSERT_TRUE(next);
    // The half-received image of the old companion is gone with it: the new one's last piece
    // completes nothing, and the old one is no longer heard.
    next->sendBinary(chunks[1].encoded());
    session.companion->sendBinary(chunks[0].encoded());
    session.companion->sendBinary(chunks[1].encoded());
    const Bytes marker = imageBytes(10, 6);
    next->sendBinary(ClipImage::chunks(marker, ClipImageFormat::png, 5)[0].encoded());
    ASSERT_TRUE(session.harness.waitForImages(1));
    EXPECT_FALSE(session.harness.waitForImages(2, 0.2));
    EXPECT_EQ(session.harness.images(),
              (std::vector<ClipImageData>{{marker, ClipImageFormat::png}}));
}

}  // namespace
}  // namespace quelm::test
