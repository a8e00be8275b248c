#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QuelmHostKit/clipboard/ClipboardBridge.hpp"
#include "tests/fakes/FakeImageCodec.hpp"
#include "tests/fakes/FakePasteboard.hpp"
#include "tests/fakes/ManualQueue.hpp"

namespace quelm {
namespace {

using test::FakeImageCodec;
using test::FakePasteboard;
using test::ManualQueue;

Bytes pngBytes(std::size_t size, std::uint8_t fill) {
    Bytes bytes(size, fill);
    const std::uint8_t signature[] = {0x89, 'P', 'N', 'G'};
    std::copy(std::begin(signature), std::end(signature), bytes.begin());
    return bytes;
}

// The bridge on a fake clipboard whose owner answers on a queue of its own, with image
// preparation on a third queue: nothing happens until the test lets it.
class ClipboardBridgeTest : public ::testing::Test {
  protected:
    ClipboardBridgeTest() {
        codec->type = ImageFileType::png;  // PNG within the limit passes untouched
        bridge = ClipboardBridge::create(pasteboard, main, imageQueue, codec);
        bridge->onCopy = [this](std::string text) { copies.push_back(std::move(text)); };
        bridge->onImage = [this](Bytes data, ClipImageFormat format) {
            images.push_back(std::move(data));
            EXPECT_EQ(format, ClipImageFormat::png);
        };
        bridge->wantsImages = [this] { return wantImages; };
        bridge->start(0.5);
    }

    // Runs every queue until nothing is left to do at the current time.
    void settle() {
        while (main->runPending() + owner->runPending() + imageQueue->runPending() > 0) {
        }
    }
    // One poll, and everything it sets off.
    void pollOnce() {
        main->advance(0.5);
        settle();
    }

    void copyImage(const Bytes& image) { pasteboard->copy({{"public.png", image}}); }

    std::shared_ptr<ManualQueue> main = std::make_shared<ManualQueue>();
    std::shared_ptr<ManualQueue> owner = std::make_shared<ManualQueue>();
    std::shared_ptr<ManualQueue> imageQueue = std::make_shared<ManualQueue>();
    std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>(owner);
    std::shared_ptr<FakeImageCodec> codec = std::make_shared<FakeImageCodec>();
    std::shared_ptr<ClipboardBridge> bridge;
    std::vector<std::string> copies;
    std::vector<Bytes> images;
    bool wantImages = true;
};

TEST_F(ClipboardBridgeTest, OffersEachCopiedTextOnceAndNothingWhileNothingChanges) {
    pasteboard->copyText("hello");
    pollOnce();
    pollOnce();
    pasteboard->copyText("hello");  // the same text copied again is a new change
    pollOnce();
    EXPECT_EQ(copies, (std::vector<std::string>{"hello", "hello"}));
}

TEST_F(ClipboardBridgeTest, WhatWasThereBeforeTheBridgeIsNeverShared) {
    pasteboard->copyText("old");
    auto late = ClipboardBridge::create(pasteboard, main, imageQueue, codec);
    std::vector<std::string> seen;
    late->onCopy = [&](std::string text) { seen.push_back(text); };
    late->start(0.5);
    pollOnce();
    EXPECT_TRUE(seen.empty());
}

TEST_F(ClipboardBridgeTest, TextTheRulesForbidIsNotSharedButStillMarkedSeen) {
    struct Case {
        const char* name;
        std::vector<std::string> extraTypes;
    };
    for (const auto& c : std::vector<Case>{
             {"concealed marker", {"org.nspasteboard.ConcealedType"}},
             {"copied file", {"public.file-url"}},
             {"password manager", {"com.agilebits.onepassword"}},
             {"from another device", {"com.example.is-remote-clipboard"}},
         }) {
        SCOPED_TRACE(c.name);
        copies.clear();
        pasteboard->copyText("secret", c.extraTypes);
        pollOnce();
        EXPECT_TRUE(copies.empty());
        EXPECT_EQ(pasteboard->dataReads, 0);  // nor taken as an image
    }
    pasteboard->copyText("plain");
    pollOnce();
    EXPECT_EQ(copies, std::vector<std::string>{"plain"});
}

TEST_F(ClipboardBridgeTest, TextUpToTheMessageLimitIsOfferedAndLongerTextIsNot) {
    pasteboard->copyText(std::string(48000, 'a'));
    pollOnce();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].size(), 48000u);

    pasteboard->copyText(std::string(47999, 'a') + "\xC3\xA9");  // 48001 bytes in UTF-8
    pollOnce();
    pasteboard->copyText("");
    pollOnce();
    EXPECT_EQ(copies.size(), 1u);
    EXPECT_EQ(pasteboard->dataReads, 0);  // no image is looked for either
}

TEST_F(ClipboardBridgeTest, CompanionTextIsNotOfferedBackButLaterCopiesAre) {
    bridge->setFromPhone("from phone");
    EXPECT_EQ(pasteboard->text(), "from phone");
    pollOnce();
    EXPECT_TRUE(copies.empty());
    pasteboard->copyText("from host");
    pollOnce();
    EXPECT_EQ(copies, std::vector<std::string>{"from host"});
}

TEST_F(ClipboardBridgeTest, AChangeSupersededWhileBeingReadIsDroppedForTheNewOne) {
    pasteboard->copyText("first");
    main->advance(0.5);  // the poll asks for the types; the owner has not answered yet
    pasteboard->copyText("second");
    settle();
    EXPECT_TRUE(copies.empty());
    pollOnce();
    EXPECT_EQ(copies, std::vector<std::string>{"second"});

    // Companion text written while a read is out: neither is offered.
    pasteboard->copyText("third");
    main->advance(0.5);
    bridge->setFromPhone("phone");
    settle();
    pollOnce();
    EXPECT_EQ(copies, std::vector<std::string>{"second"});
}

TEST_F(ClipboardBridgeTest, ShareableTextWinsOverAnImageOfTheSameCopy) {
    // "public.heif" is the one image type whose name does not stop text.
    pasteboard->copy({{"public.utf8-plain-text", {'h', 'i'}}, {"public.heif", pngBytes(64, 1)}});
    pollOnce();
    EXPECT_EQ(copies, std::vector<std::string>{"hi"});
    EXPECT_TRUE(images.empty());
    EXPECT_EQ(pasteboard->dataReads, 0);
}

TEST_F(ClipboardBridgeTest, ImagesArePreparedOffTheMainQueueAndOffered) {
    auto image = pngBytes(1000, 2);
    pasteboard->copy({{"public.tiff", {}}, {"public.png", image}});
    main->advance(0.5);
    owner->runPending();
    owner->runPending();
    EXPECT_EQ(codec->opened, 0);  // nothing decoded on the main queue
    EXPECT_EQ(imageQueue->pendingCount(), 1u);
    settle();
    EXPECT_EQ(codec->opened, 1);
    EXPECT_EQ(images, std::vector<Bytes>{image});
}

TEST_F(ClipboardBridgeTest, TheSameImageWithinFiveSecondsIsPreparedOnce) {
    auto image = pngBytes(1000, 2);
    copyImage(image);
    pollOnce();  // t = 0.5
    copyImage(image);
    pollOnce();  // t = 1.0: a repeat
    EXPECT_EQ(codec->opened, 1);

    auto other = pngBytes(1000, 3);  // same size, other bytes
    copyImage(other);
    pollOnce();
    EXPECT_EQ(codec->opened, 2);

    main->advance(5.0);
    copyImage(other);
    pollOnce();  // 5.5 s after `other` was taken
    EXPECT_EQ(codec->opened, 3);
    EXPECT_EQ(images, (std::vector<Bytes>{image, other, other}));
}

TEST_F(ClipboardBridgeTest, AnImageThatCannotBePreparedIsNotRetriedWithinFiveSeconds) {
    codec->type = ImageFileType::other;  // a 100 by 100 TIFF: too small to re-encode
    codec->width = 100;
    codec->height = 100;
    Bytes tiff(500, 9);
    pasteboard->copy({{"public.tiff", tiff}});
    pollOnce();
    pasteboard->copy({{"public.tiff", tiff}});
    pollOnce();
    EXPECT_EQ(codec->opened, 1);
    EXPECT_TRUE(images.empty());
}

TEST_F(ClipboardBridgeTest, WithoutImageWishNothingIsReadNorRemembered) {
    wantImages = false;
    auto image = pngBytes(1000, 2);
    copyImage(image);
    pollOnce();
    EXPECT_EQ(pasteboard->dataReads, 0);
    EXPECT_TRUE(images.empty());

    wantImages = true;  // the same image right after is taken: nothing was remembered
    copyImage(image);
    pollOnce();
    EXPECT_EQ(images, std::vector<Bytes>{image});
}

TEST_F(ClipboardBridgeTest, CompanionImagesLandWithoutEchoAndBadBytesChangeNothing) {
    auto image = pngBytes(300, 4);
    bridge->setFromPhoneImage(image);
    pollOnce();
    ASSERT_FALSE(pasteboard->items().empty());
    EXPECT_EQ(pasteboard->items()[0].data, image);
    EXPECT_TRUE(images.empty());
    EXPECT_EQ(codec->opened, 0);

    pasteboard->copyText("keep me");
    pollOnce();
    bridge->setFromPhoneImage(Bytes{1, 2, 3});
    pollOnce();
    EXPECT_EQ(pasteboard->text(), "keep me");
}

TEST_F(ClipboardBridgeTest, StopEndsPollingAndStartResumesIt) {
    bridge->stop();
    pasteboard->copyText("unseen");
    pollOnce();
    EXPECT_TRUE(copies.empty());
    bridge->start(0.5);
    bridge->start(0.5);  // a running timer is replaced, not doubled
    pollOnce();
    EXPECT_EQ(copies, std::vector<std::string>{"unseen"});
}

TEST_F(ClipboardBridgeTest, NothingArrivesAfterTheBridgeIsGone) {
    copyImage(pngBytes(1000, 2));
    main->advance(0.5);
    owner->runPending();
    owner->runPending();
    bridge.reset();
    settle();
    EXPECT_TRUE(images.empty());
}

}  // namespace
}  // namespace quelm
