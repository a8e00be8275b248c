#include <gtest/gtest.h>

#include "QuelmCore/AudioPacket.hpp"
#include "QuelmCore/ByteReader.hpp"
#include "QuelmCore/ClipChunk.hpp"
#include "QuelmCore/VideoFrame.hpp"

namespace quelm {
namespace {

Bytes filled(std::size_t size, std::uint8_t start = 0) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(start + i);
    }
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(ByteReader, ReadsLittleEndianAndRefusesShortReads) {
    const Bytes bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    ByteReader reader(bytes);
    EXPECT_EQ(reader.u16(), 0x0201);
    EXPECT_EQ(reader.u32(), 0x06050403u);
    EXPECT_EQ(reader.u32(), std::nullopt);
    EXPECT_EQ(reader.u16(), std::nullopt);
    EXPECT_EQ(reader.bytes(-1), std::nullopt);
    EXPECT_EQ(reader.bytes(2), std::nullopt);
    EXPECT_EQ(reader.position(), 6u);  // failed reads do not move
    EXPECT_EQ(reader.bytes(1), Bytes{0x07});
    EXPECT_EQ(reader.bytes(0), Bytes{});
    EXPECT_TRUE(reader.atEnd());
}

TEST(VideoFrame, LayoutIsLittleEndianWithLengthPrefixedSets) {
    VideoFrame frame{0x04030201, 1920, 1080, true, {{0x67, 0x42}, {0x68}}, {0, 0, 0, 1, 0x65}};
    const Bytes expected{2,    0x01, 0x02, 0x03, 0x04, 0x80, 0x07, 0x38, 0x04, 1, 2, 2, 0,   0x67,
                         0x42, 1,    0,    0x68, 5,    0,    0,    0,    0,    0, 0, 1, 0x65};
    auto bytes = frame.encoded();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, expected);
    EXPECT_EQ(bytes->capacity(), bytes->size());
    EXPECT_EQ(VideoFrame::decode(*bytes), frame);
}

TEST(VideoFrame, EmptyFrameIsFifteenBytes) {
    VideoFrame frame{7, 640, 360, false, {}, {}};
    auto bytes = frame.encoded();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (Bytes{2, 7, 0, 0, 0, 0x80, 2, 0x68, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(VideoFrame::decode(*bytes), frame);
}

TEST(VideoFrame, DecodingEdges) {
    VideoFrame frame{1, 2, 3, false, {{9, 9, 9}}, filled(100)};
    const Bytes good = *frame.encoded();

    auto trailing = concat({good, {0xAA}});
    EXPECT_EQ(VideoFrame::decode(trailing), frame);

    auto keyByte = [&](std::uint8_t value) {
        Bytes b = good;
        b[9] = value;
        return VideoFrame::decode(b);
    };
    ASSERT_TRUE(keyByte(3));
    EXPECT_TRUE(keyByte(3)->isKey);
    ASSERT_TRUE(keyByte(2));
    EXPECT_FALSE(keyByte(2)->isKey);

    Bytes shortPayload(good.begin(), good.end() - 1);
    EXPECT_FALSE(VideoFrame::decode(shortPayload));
    for (std::size_t cut : {0, 1, 5, 10, 11, 12, 15, 16, 19}) {
        EXPECT_FALSE(VideoFrame::decode(Bytes(good.begin(), good.begin() + cut))) << cut;
    }
    Bytes wrongTag = good;
    wrongTag[0] = 3;
    EXPECT_FALSE(VideoFrame::decode(wrongTag));
}

TEST(VideoFrame, RefusesFramesTheLayoutCannotCarry) {
    VideoFrame tooManySets{1, 2, 3, true, std::vector<Bytes>(256, Bytes{1}), {}};
    EXPECT_FALSE(tooManySets.encoded());
    VideoFrame longSet{1, 2, 3, true, {Bytes(65536)}, {}};
    EXPECT_FALSE(longSet.encoded());

    VideoFrame atLimits{1, 2, 3, true, std::vector<Bytes>(255, Bytes{1}), {}};
    atLimits.parameterSets[0] = Bytes(65535, 7);
    auto bytes = atLimits.encoded();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(VideoFrame::decode(*bytes), atLimits);
}

TEST(AudioPacket, LayoutAndRoundTrip) {
    AudioPacket packet{0x0A0B0C0D, {0x11, 0x90}, {{1, 2, 3}, {}, {4}}};
    const Bytes expected{3, 0x0D, 0x0C, 0x0B, 0x0A, 2, 0, 0x11, 0x90, 3,
                         3, 0,    1,    2,    3,    0, 0, 1,    0,    4};
    auto bytes = packet.encoded();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, expected);
    EXPECT_EQ(bytes->capacity(), bytes->size());
    EXPECT_EQ(AudioPacket::decode(*bytes), packet);

    AudioPacket empty{5, {}, {}};
    EXPECT_EQ(*empty.encoded(), (Bytes{3, 5, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(AudioPacket::decode(*empty.encoded()), empty);
}

TEST(AudioPacket, DecodingEdges) {
    const Bytes good = *AudioPacket{1, {7, 7}, {{1, 2}}}.encoded();
    EXPECT_FALSE(AudioPacket::decode(concat({good, {0}})));  // trailing bytes refused
    EXPECT_FALSE(AudioPacket::decode(Bytes{3, 1, 0, 0, 0, 5, 0, 1, 2, 3, 4}));  // short cookie
    EXPECT_FALSE(AudioPacket::decode(Bytes{3, 1, 0, 0, 0, 0, 0}));              // no unit count
    EXPECT_FALSE(AudioPacket::decode(Bytes{3, 1, 0, 0, 0, 0, 0, 2, 1, 0, 9}));  // one unit short
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        EXPECT_FALSE(AudioPacket::decode(Bytes(good.begin(), good.begin() + cut))) << cut;
    }
}

TEST(AudioPacket, RefusesPacketsTheLayoutCannotCarry) {
    EXPECT_FALSE((AudioPacket{1, Bytes(65536), {}}.encoded()));
    EXPECT_FALSE((AudioPacket{1, {}, {Bytes(65536)}}.encoded()));
    EXPECT_FALSE((AudioPacket{1, {}, std::vector<Bytes>(256)}.encoded()));
    EXPECT_TRUE((AudioPacket{1, Bytes(65535), std::vector<Bytes>(255)}.encoded()));
}

TEST(ClipChunk, LayoutAndRoundTrip) {
    ClipChunk chunk{0x01020304, 2, 5, ClipImageFormat::jpeg, {0xFF, 0xD8}};
    const Bytes bytes = chunk.encoded();
    EXPECT_EQ(bytes, (Bytes{4, 4, 3, 2, 1, 2, 0, 5, 0, 2, 0xFF, 0xD8}));
    auto decoded = ClipChunk::decode(bytes);
    EXPECT_EQ(decoded, chunk);

    ClipChunk largest{9, 319, 320, ClipImageFormat::png, filled(ClipChunk::payloadBytes)};
    EXPECT_EQ(ClipChunk::decode(largest.encoded()), largest);
}

TEST(ClipChunk, DecoderRefusesWhatAReceiverCannotUse) {
    auto message = [](std::uint16_t index, std::uint16_t count, std::uint8_t format,
                      std::size_t payload) {
        Bytes b{4,
                1,
                0,
                0,
                0,
                static_cast<std::uint8_t>(index),
                static_cast<std::uint8_t>(index >> 8),
                static_cast<std::uint8_t>(count),
                static_cast<std::uint8_t>(count >> 8),
                format};
        Bytes body = filled(payload);
        b.insert(b.end(), body.begin(), body.end());
        return b;
    };
    struct Case {
        std::uint16_t index, count;
        std::uint8_t format;
        std::size_t payload;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {0, 1, 1, 1, true},    {0, 0, 1, 1, false},        {1, 1, 1, 1, false},
        {0, 321, 1, 1, false}, {319, 320, 2, 32768, true}, {0, 1, 0, 1, false},
        {0, 1, 3, 1, false},   {0, 1, 1, 0, false},        {0, 1, 1, 32769, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClipChunk::decode(message(c.index, c.count, c.format, c.payload)).has_value(),
                  c.accepted)
            << c.index << "/" << c.count << " format " << int(c.format) << " payload " << c.payload;
    }
    EXPECT_FALSE(ClipChunk::decode(Bytes{4, 1, 0, 0, 0, 0, 0, 1, 0}));  // no format byte
}

TEST(BinaryLayouts, EmptyOrTagOnlyMessagesFailForAll) {
    for (const Bytes& message : {Bytes{}, Bytes{2}, Bytes{3}, Bytes{4}, Bytes{'{'}}) {
        EXPECT_FALSE(VideoFrame::decode(message));
        EXPECT_FALSE(AudioPacket::decode(message));
        EXPECT_FALSE(ClipChunk::decode(message));
    }
}

}  // namespace
}  // namespace quelm
