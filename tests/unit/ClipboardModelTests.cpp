#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "QuelmCore/ClipAssembler.hpp"
#include "QuelmCore/ClipImage.hpp"
#include "QuelmCore/ClipboardPolicy.hpp"

namespace quelm {
namespace {

Bytes patterned(std::size_t size, std::uint8_t seed = 1) {
    Bytes out(size);
    std::minstd_rand random(seed);
    std::generate(out.begin(), out.end(), [&] { return static_cast<std::uint8_t>(random()); });
    return out;
}

ClipChunk chunk(std::uint32_t transfer, std::uint16_t index, std::uint16_t count,
                Bytes payload = {1, 2, 3}) {
    return ClipChunk{transfer, index, count, ClipImageFormat::png, std::move(payload)};
}

TEST(ClipImageChunks, CutsAtPayloadSizeWithinTheLimit) {
    struct Case {
        std::size_t size;
        std::size_t chunks;
        std::size_t lastPayload;
    };
    const std::size_t full = ClipChunk::payloadBytes;
    for (auto c : std::vector<Case>{{1, 1, 1},
                                    {full, 1, full},
                                    {full + 1, 2, 1},
                                    {ClipImage::maxBytes, 320, full},
                                    {ClipImage::maxBytes + 1, 0, 0},
                                    {0, 0, 0}}) {
        SCOPED_TRACE(c.size);
        auto data = patterned(c.size);
        auto cut = ClipImage::chunks(data, ClipImageFormat::jpeg, 9);
        ASSERT_EQ(cut.size(), c.chunks);
        if (cut.empty()) {
            continue;
        }
        Bytes joined;
        for (std::size_t i = 0; i < cut.size(); ++i) {
            EXPECT_EQ(cut[i].transfer, 9u);
            EXPECT_EQ(cut[i].index, i);
            EXPECT_EQ(cut[i].count, c.chunks);
            EXPECT_EQ(cut[i].format, ClipImageFormat::jpeg);
            EXPECT_EQ(cut[i].payload.size(), i + 1 < cut.size() ? full : c.lastPayload);
            // Every chunk must survive its own wire layout.
            EXPECT_EQ(ClipChunk::decode(cut[i].encoded()), cut[i]);
            joined.insert(joined.end(), cut[i].payload.begin(), cut[i].payload.end());
        }
        EXPECT_EQ(joined, data);
    }
}

TEST(ClipAssembler, ReassemblesInAnyOrderIgnoringDuplicates) {
    auto data = patterned(5 * ClipChunk::payloadBytes + 77);
    auto cut = ClipImage::chunks(data, ClipImageFormat::jpeg, 3);
    std::vector<std::size_t> order(cut.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::minstd_rand(42));
    order.insert(order.begin() + 2, order[0]);  // a duplicate along the way

    ClipAssembler assembler;
    std::optional<ClipImageData> result;
    for (std::size_t k = 0; k < order.size(); ++k) {
        ASSERT_FALSE(result) << "completed early at " << k;
        result = assembler.add(cut[order[k]]);
    }
    ASSERT_TRUE(result);
    EXPECT_EQ(result->format, ClipImageFormat::jpeg);
    EXPECT_EQ(result->data, data);
    EXPECT_FALSE(assembler.transfer());
}

TEST(ClipAssembler, TwoChunksInReverseOrderAndADuplicateKeepsTheFirstCopy) {
    ClipAssembler assembler;
    EXPECT_FALSE(assembler.add(chunk(1, 1, 2, {9})));
    EXPECT_FALSE(assembler.add(chunk(1, 1, 2, {8})));  // duplicate: first copy kept
    auto image = assembler.add(chunk(1, 0, 2, {1, 2}));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->data, (Bytes{1, 2, 9}));
}

TEST(ClipAssembler, AnotherTransferAbandonsTheOneInProgress) {
    ClipAssembler assembler;
    EXPECT_FALSE(assembler.add(chunk(7, 0, 2)));
    EXPECT_FALSE(assembler.add(chunk(8, 0, 2)));
    EXPECT_FALSE(assembler.add(chunk(7, 1, 2, {5, 5})));
    EXPECT_EQ(assembler.transfer(), 7u);
    EXPECT_EQ(assembler.received(), 1u);
    EXPECT_TRUE(assembler.has(1));
    EXPECT_FALSE(assembler.has(0));
    EXPECT_EQ(assembler.bytes(), 2u);

    // The same number with another count starts over too.
    EXPECT_FALSE(assembler.add(chunk(7, 0, 3)));
    EXPECT_EQ(assembler.slots(), 3u);
    EXPECT_EQ(assembler.received(), 1u);
}

TEST(ClipAssembler, RepeatedLastChunkAfterCompletionStartsANewTransfer) {
    ClipAssembler assembler;
    EXPECT_FALSE(assembler.add(chunk(4, 0, 2)));
    ASSERT_TRUE(assembler.add(chunk(4, 1, 2)));
    EXPECT_FALSE(assembler.add(chunk(4, 1, 2)));
    EXPECT_EQ(assembler.transfer(), 4u);
    EXPECT_EQ(assembler.received(), 1u);
}

TEST(ClipAssembler, DropsMalformedAndOverLimitChunksLeavingStateAlone) {
    ClipAssembler assembler;
    EXPECT_FALSE(assembler.add(chunk(2, 0, 3)));
    for (const auto& bad : {chunk(2, 3, 3), chunk(5, 0, 0), chunk(2, 1, 3, {}),
                            chunk(6, 0, ClipChunk::maxCount + 1)}) {
        EXPECT_FALSE(assembler.add(bad));
        EXPECT_EQ(assembler.transfer(), 2u);
        EXPECT_EQ(assembler.received(), 1u);
    }

    // Payloads larger than the usual piece can fill the limit early; the excess is refused.
    ClipAssembler big;
    const std::size_t half = ClipImage::maxBytes / 2;
    EXPECT_FALSE(big.add(chunk(1, 0, 3, Bytes(half, 1))));
    EXPECT_FALSE(big.add(chunk(1, 1, 3, Bytes(half, 2))));
    EXPECT_FALSE(big.add(chunk(1, 2, 3, Bytes(1, 3))));
    EXPECT_EQ(big.received(), 2u);
    EXPECT_EQ(big.bytes(), ClipImage::maxBytes);
    EXPECT_FALSE(big.has(2));
}

using Types = std::vector<std::string>;

TEST(ClipboardPolicy, SharesOnlyPlainTextWithoutMarkers) {
    struct Case {
        Types types;
        bool share;
    };
    std::vector<Case> cases = {
        {{"public.utf8-plain-text", "NSStringPboardType"}, true},
        {{"public.utf8-plain-text", "NSStringPboardType", "org.nspasteboard.ConcealedType"}, false},
        {{"public.utf8-plain-text", "public.file-url"}, false},
        {{"public.png"}, false},
        {{"public.utf8-plain-text", "com.apple.is-remote-clipboard"}, false},
        {{"public.text", "org.nspasteboard.TransientType"}, false},
        {{"public.text", "org.nspasteboard.AutoGeneratedType"}, false},
        {{"public.plain-text", "com.example.PassWord"}, false},
        {{"public.plain-text", "public.html"}, true},
        {{"Public.Text"}, false},  // text types match exactly
        {{}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.types));
        EXPECT_EQ(ClipboardPolicy::shouldShare(c.types), c.share);
    }
}

TEST(ClipboardPolicy, TakesThePreferredImageUnlessBlocked) {
    struct Case {
        Types types;
        std::optional<std::string> image;
    };
    std::vector<Case> cases = {
        {{"public.tiff", "public.png"}, "public.png"},
        {{"public.jpeg", "public.file-url"}, std::nullopt},
        {{"public.tiff", "org.nspasteboard.TransientType"}, "public.tiff"},
        {{"public.heif", "public.heic"}, "public.heic"},
        {{"public.png", "org.nspasteboard.ConcealedType"}, std::nullopt},
        {{"public.png", "com.apple.Is-Remote-Clipboard"}, std::nullopt},
        {{"public.utf8-plain-text"}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.types));
        EXPECT_EQ(ClipboardPolicy::imageType(c.types), c.image);
    }
}

TEST(ClipboardPolicy, MapsSelectionTargetsOntoTheRulesTypes) {
    Types targets = {"TARGETS",   "UTF8_STRING",   "text/plain;charset=UTF-8",
                     "image/png", "text/uri-list", "x-kde-passwordManagerHint"};
    auto types = ClipboardPolicy::typesForTargets(targets);
    EXPECT_EQ(types, (Types{"TARGETS", "public.utf8-plain-text", "public.utf8-plain-text",
                            "public.png", "public.file-url", "org.nspasteboard.ConcealedType"}));

    EXPECT_TRUE(ClipboardPolicy::shouldShare(
        ClipboardPolicy::typesForTargets(Types{"TARGETS", "UTF8_STRING", "STRING", "TEXT"})));
    EXPECT_FALSE(ClipboardPolicy::shouldShare(
        ClipboardPolicy::typesForTargets(Types{"UTF8_STRING", "x-kde-passwordManagerHint"})));
    EXPECT_EQ(ClipboardPolicy::imageType(
                  ClipboardPolicy::typesForTargets(Types{"image/bmp", "image/tiff", "image/png"})),
              "public.png");
}

}  // namespace
}  // namespace quelm
