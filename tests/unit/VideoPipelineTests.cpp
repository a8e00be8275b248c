#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "QuelmHostKit/streaming/VideoPipeline.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/ManualQueue.hpp"
#include "tests/fakes/ScriptedEncoder.hpp"

namespace quelm {
namespace {

using test::ScriptedEncoder;

constexpr int kWidth = 64;
constexpr int kHeight = 36;
const char* const kStallLine = "no acknowledgement from the phone; restarting with a key frame";

class VideoPipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pipeline->setOnFrame([this](VideoFrame frame) {
            frames.push_back(std::move(frame));
            frameTimes.push_back(queue->now());
            if (acknowledgeEveryFrame) {
                pipeline->acknowledge();
            }
        });
    }

    void configure(int width = kWidth, int height = kHeight) {
        pipeline->configure(width, height, config);
        queue->runPending();
    }

    static PixelBufferRef picture(int width = kWidth, int height = kHeight) {
        return std::make_shared<PixelBuffer>(width, height);
    }

    PixelBufferRef submit(PixelBufferRef buffer = picture()) {
        pipeline->submit(buffer);
        queue->runPending();
        return buffer;
    }

    void complete(EncodeOutcome outcome) {
        ASSERT_TRUE(encoder.complete(std::move(outcome)));
        queue->runPending();
    }

    void acknowledge() {
        pipeline->acknowledge();
        queue->runPending();
    }

    // Buffers of the encodes, in order.
    std::vector<PixelBufferRef> encodedBuffers() const {
        std::vector<PixelBufferRef> buffers;
        for (std::size_t i = 0; i < encoder.encodeCount(); ++i) {
            buffers.push_back(encoder.encodeAt(i).buffer);
        }
        return buffers;
    }

    test::CapturingLogSink::Scope logs;
    std::shared_ptr<test::ManualQueue> queue = std::make_shared<test::ManualQueue>();
    ScriptedEncoder encoder;
    std::shared_ptr<VideoPipeline> pipeline = VideoPipeline::make(queue, encoder.factory());
    StreamConfig config{1280, 6.0, 30};
    std::vector<VideoFrame> frames;
    std::vector<double> frameTimes;
    bool acknowledgeEveryFrame = false;
};

TEST(VideoPipelineOutputSize, KeepsAspectOnEvenSidesOfAtLeastTwo) {
    struct Case {
        int width, height;
        std::int64_t maxEdge;
        VideoPipeline::Size expected;
    };
    const Case cases[] = {
        {1920, 1080, 0, {1920, 1080}},     // no limit
        {1921, 1081, 4000, {1920, 1080}},  // limit above the size: only made even
        {1920, 1080, 1920, {1920, 1080}},  // limit equal to the longest edge
        {1920, 1080, -5, {1920, 1080}},
        {2560, 1600, 1920, {1920, 1200}},
        {1080, 1920, 1280, {720, 1280}},  // portrait: long edge is the height
        {1920, 1080, 1001, {1000, 562}},  // odd limit rounded down
        {200, 30, 100, {100, 16}},        // 7.5 rounds away from zero
        {1000, 1000, 641, {640, 640}},    // square
        {100, 1, 50, {50, 2}},
        {1920, 1080, 1, {2, 2}},
        {0, 0, 100, {2, 2}},
        {1, 1, 0, {2, 2}},
        {-7, 3, 0, {2, 2}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VideoPipeline::outputSize(c.width, c.height, c.maxEdge), c.expected)
            << c.width << "x" << c.height << " max " << c.maxEdge;
    }
}

TEST_F(VideoPipelineTest, FirstFrameIsAKeyFrameWithTheConfiguredSizeAndSettings) {
    configure();
    ASSERT_EQ(encoder.creations().size(), 1u);
    EXPECT_EQ(encoder.creations()[0].width, kWidth);
    EXPECT_EQ(encoder.creations()[0].height, kHeight);
    EXPECT_EQ(encoder.creations()[0].config, config);
    EXPECT_EQ(encoder.encodeCount(), 0u);  // configure alone encodes nothing

    auto first = submit();
    ASSERT_EQ(encoder.encodeCount(), 1u);
    EXPECT_TRUE(encoder.encodeAt(0).forceKey);
    EXPECT_EQ(encoder.encodeAt(0).buffer, first);  // passed by reference, not copied

    Bytes sps{0x67, 1}, pps{0x68, 2}, payload{0, 0, 0, 2, 0x65, 9};
    complete(ScriptedEncoder::frame(true, payload, {sps, pps}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].seq, 1u);
    EXPECT_EQ(frames[0].width, kWidth);
    EXPECT_EQ(frames[0].height, kHeight);
    EXPECT_TRUE(frames[0].isKey);
    EXPECT_EQ(frames[0].parameterSets, (std::vector<Bytes>{sps, pps}));
    EXPECT_EQ(frames[0].payload, payload);

    submit();
    EXPECT_FALSE(encoder.encodeAt(1).forceKey);
    // A non-key frame never carries parameter sets, whatever the encoder returned.
    complete(ScriptedEncoder::frame(false, {0, 0, 0, 1, 0x41}, {sps, pps}));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].seq, 2u);
    EXPECT_FALSE(frames[1].isKey);
    EXPECT_TRUE(frames[1].parameterSets.empty());
}

TEST_F(VideoPipelineTest, DropsPicturesBeforeConfigureAndOfAnotherSize) {
    submit();
    configure();
    submit(picture(kWidth + 2, kHeight));
    submit(picture(kWidth, kHeight - 2));
    EXPECT_EQ(encoder.encodeCount(), 0u);

    pipeline->shutdown();
    queue->runPending();
    submit();
    EXPECT_EQ(encoder.encodeCount(), 0u);
}

TEST_F(VideoPipelineTest, FrameSizeIsClampedToSixteenBits) {
    configure(70000, 2);
    submit(picture(70000, 2));
    complete(ScriptedEncoder::frame(true));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].width, 65535);
    EXPECT_EQ(frames[0].height, 2);
}

TEST_F(VideoPipelineTest, NewestPictureWinsWhileAnEncodeRuns) {
    configure();
    auto first = submit();
    std::weak_ptr<PixelBuffer> skipped = submit();
    auto newest = submit();
    EXPECT_EQ(encoder.encodeCount(), 1u);  // one encode at a time
    EXPECT_TRUE(skipped.expired());        // replaced unencoded and released

    complete(ScriptedEncoder::frame(true));
    EXPECT_EQ(encodedBuffers(), (std::vector<PixelBufferRef>{first, newest}));
    EXPECT_EQ(encoder.outstanding(), 1u);
}

TEST_F(VideoPipelineTest, CompletionsFromOtherThreadsAndSynchronousOnesHopOntoTheQueue) {
    configure();
    submit();
    std::thread worker([&] { encoder.complete(ScriptedEncoder::frame(true)); });
    worker.join();
    EXPECT_TRUE(frames.empty());  // not delivered until the queue runs
    queue->runPending();
    EXPECT_EQ(frames.size(), 1u);

    encoder.setAutoOutcome(ScriptedEncoder::frame(false));
    submit();
    EXPECT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].seq, 2u);
}

// The first refinement waits for the screen to stop changing after a motion frame; after a key
// frame, and between refinements, each follows once the link (6 Mbit/s here) carried the last
// frame, at least a frame interval and at most the still-screen delay apart.
TEST_F(VideoPipelineTest, StillScreenGetsThreeRefinementsPacedByTheLink) {
    struct Case {
        bool key;
        std::size_t bytes;
        double first;
        double next;
    };
    const Case cases[] = {
        {false, 5, VideoPipeline::refinementDelay, 1.0 / 30},
        {true, 75'000, 0.1, 0.1},
        {true, 30'000, 0.04, 0.04},
        {true, 400'000, VideoPipeline::refinementDelay, VideoPipeline::refinementDelay},
        {false, 75'000, VideoPipeline::refinementDelay, 0.1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "key " << c.key << ", " << c.bytes << " bytes");
        ScriptedEncoder encoder;
        auto pipeline = VideoPipeline::make(queue, encoder.factory());
        std::vector<double> times;
        pipeline->setOnFrame([&](VideoFrame) {
            times.push_back(queue->now());
            pipeline->acknowledge();
        });
        Bytes payload(c.bytes, 0x41);
        encoder.setAutoOutcome(ScriptedEncoder::frame(c.key, payload));
        pipeline->configure(kWidth, kHeight, config);
        auto still = picture();
        pipeline->submit(still);
        queue->advance(10);

        ASSERT_EQ(encoder.encodeCount(), 1u + VideoPipeline::refinementPasses);
        ASSERT_EQ(times.size(), 4u);
        EXPECT_FALSE(encoder.encodeAt(0).refinement);
        for (std::size_t i = 1; i < 4; ++i) {
            EXPECT_EQ(encoder.encodeAt(i).buffer, still);
            EXPECT_FALSE(encoder.encodeAt(i).forceKey);
            EXPECT_TRUE(encoder.encodeAt(i).refinement) << "the encoder is told to sharpen it";
            EXPECT_NEAR(times[i] - times[i - 1], i == 1 ? c.first : c.next, 1e-9) << i;
        }
    }
}

TEST_F(VideoPipelineTest, RefinementsCountFromTheirOwnPicturesOutcomeNotFromAnOlderTimer) {
    acknowledgeEveryFrame = true;
    configure();
    submit();
    complete(ScriptedEncoder::frame(false));  // the old picture's first refinement is due at +0.3
    queue->advance(0.1);
    auto fresh = submit();
    queue->advance(0.05);
    const double outcome = queue->now();
    complete(ScriptedEncoder::frame(false));

    encoder.setAutoOutcome(ScriptedEncoder::frame(false));
    queue->advance(10);
    // The old picture's timer, 0.15 s after this outcome, must not start a refinement.
    ASSERT_EQ(frameTimes.size(), 5u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(encoder.encodeAt(2 + i).buffer, fresh);
        EXPECT_NEAR(frameTimes[2 + i] - outcome, 0.3 + double(i) / 30, 1e-9) << "refinement " << i;
    }
}

TEST(VideoPipelineSeq, CountsFramesDeliveredBeforeAnyoneListens) {
    auto queue = std::make_shared<test::ManualQueue>();
    ScriptedEncoder encoder;
    auto pipeline = VideoPipeline::make(queue, encoder.factory());
    encoder.setAutoOutcome(ScriptedEncoder::frame(true));
    pipeline->configure(kWidth, kHeight, StreamConfig{1280, 6.0, 30});
    pipeline->submit(std::make_shared<PixelBuffer>(kWidth, kHeight));
    pipeline->acknowledge();
    pipeline->submit(std::make_shared<PixelBuffer>(kWidth, kHeight));
    queue->runPending();
    ASSERT_EQ(encoder.encodeCount(), 2u);

    std::vector<std::uint32_t> seqs;
    pipeline->setOnFrame([&](VideoFrame frame) { seqs.push_back(frame.seq); });
    pipeline->acknowledge();
    pipeline->submit(std::make_shared<PixelBuffer>(kWidth, kHeight));
    queue->runPending();
    EXPECT_EQ(seqs, std::vector<std::uint32_t>{3});
}

TEST_F(VideoPipelineTest, NewPictureCancelsTheRemainingRefinementsOfTheOldOne) {
    acknowledgeEveryFrame = true;
    encoder.setAutoOutcome(ScriptedEncoder::frame(false));
    configure();
    auto old = submit();
    queue->advance(0.3);   // one refinement of the old picture
    queue->advance(0.01);  // the next would follow a frame interval later
    auto fresh = submit();
    queue->advance(10);

    EXPECT_EQ(encodedBuffers(),
              (std::vector<PixelBufferRef>{old, old, fresh, fresh, fresh, fresh}));
}

TEST_F(VideoPipelineTest, KeyFrameRequestBeforeAnyPictureWaitsForTheNextOne) {
    configure();
    pipeline->requestKeyFrame();
    queue->runPending();
    EXPECT_EQ(encoder.encodeCount(), 0u);
    submit();
    ASSERT_EQ(encoder.encodeCount(), 1u);
    EXPECT_TRUE(encoder.encodeAt(0).forceKey);
}

TEST_F(VideoPipelineTest, KeyFrameRequestOnAStillScreenReencodesAndRestartsRefinements) {
    acknowledgeEveryFrame = true;
    encoder.setAutoOutcome(ScriptedEncoder::frame(false));
    configure();
    auto still = submit();
    queue->advance(10);  // fresh + 3 refinements, then idle
    ASSERT_EQ(encoder.encodeCount(), 4u);

    pipeline->requestKeyFrame();
    queue->runPending();
    ASSERT_EQ(encoder.encodeCount(), 5u);
    EXPECT_EQ(encoder.encodeAt(4).buffer, still);
    EXPECT_TRUE(encoder.encodeAt(4).forceKey);

    queue->advance(10);
    EXPECT_EQ(encoder.encodeCount(), 8u);
    EXPECT_EQ(encoder.forceKeys(),
              (std::vector<bool>{true, false, false, false, true, false, false, false}));
}

TEST_F(VideoPipelineTest, TwoUnacknowledgedFramesHoldTheNextUntilAnAcknowledgement) {
    configure();
    submit();
    complete(ScriptedEncoder::frame(true));
    submit();
    complete(ScriptedEncoder::frame(false));
    auto waiting = submit();
    EXPECT_EQ(encoder.encodeCount(), 2u);

    acknowledge();
    ASSERT_EQ(encoder.encodeCount(), 3u);
    EXPECT_EQ(encoder.encodeAt(2).buffer, waiting);
    EXPECT_FALSE(encoder.encodeAt(2).forceKey);
    EXPECT_EQ(logs.sink().count(kStallLine), 0);
}

TEST_F(VideoPipelineTest, WithTheGateFullTheNextFrameIsEncodedAheadAndGoesOutWithTheAck) {
    configure();
    submit();
    complete(ScriptedEncoder::frame(true));  // out at 1000.00
    queue->advance(0.01);
    submit();
    complete(ScriptedEncoder::frame(false));  // out at 1000.01
    queue->advance(0.04);
    acknowledge();  // the first took 50 ms
    submit();
    complete(ScriptedEncoder::frame(false));  // out at 1000.05; the next answer is due at 1000.06
    ASSERT_EQ(frames.size(), 3u);

    auto next = submit();
    EXPECT_EQ(encoder.encodeCount(), 3u) << "too early to encode ahead";
    queue->advance(0.01);
    ASSERT_EQ(encoder.encodeCount(), 4u) << "encoded when the answer is due";
    EXPECT_EQ(encoder.encodeAt(3).buffer, next);
    complete(ScriptedEncoder::frame(false));
    EXPECT_EQ(frames.size(), 3u) << "held while the gate is full";

    queue->advance(0.005);
    acknowledge();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_DOUBLE_EQ(frameTimes.back(), queue->now());
    EXPECT_EQ(frames.back().seq, 4u);
    EXPECT_EQ(encoder.encodeCount(), 4u) << "the slot went to the held frame";

    // An acknowledgement that comes while the next frame is encoded ahead lets it out at once.
    submit();
    queue->advance(0.1);
    ASSERT_EQ(encoder.encodeCount(), 5u);
    acknowledge();
    complete(ScriptedEncoder::frame(false));
    EXPECT_EQ(frames.size(), 5u);
}

TEST_F(VideoPipelineTest, AFrameHeldForAStalledCompanionIsReplacedByAKeyFrame) {
    configure();
    submit();
    complete(ScriptedEncoder::frame(true));
    queue->advance(0.01);
    submit();
    complete(ScriptedEncoder::frame(false));
    queue->advance(0.04);
    acknowledge();
    submit();
    complete(ScriptedEncoder::frame(false));
    auto held = submit();
    queue->advance(0.01);
    complete(ScriptedEncoder::frame(false));  // held from here; the companion says nothing more
    ASSERT_EQ(frames.size(), 3u);

    queue->advance(3.1);
    EXPECT_EQ(logs.sink().count(kStallLine), 1);
    ASSERT_EQ(encoder.encodeCount(), 5u);
    EXPECT_EQ(encoder.encodeAt(4).buffer, held);
    EXPECT_TRUE(encoder.encodeAt(4).forceKey);
    complete(ScriptedEncoder::frame(true));
    ASSERT_EQ(frames.size(), 4u) << "the held frame was dropped, not sent";
    EXPECT_TRUE(frames.back().isKey);

    acknowledge();  // a late answer to a frame before the stall
    EXPECT_EQ(frames.size(), 4u);
}

TEST_F(VideoPipelineTest, StalledCompanionRestartsWithAKeyFrame3_05SecondsAfterTheFirstRefusal) {
    configure();
    submit();
    complete(ScriptedEncoder::frame(true));
    submit();
    complete(ScriptedEncoder::frame(false));  // two in flight from here, the last sent now
    queue->advance(1.0);  // at 0.3 s a refinement finds the gate full: the first refusal
    auto newest = submit();

    queue->advance(2.34);  // 3.04 s after the refusal, already past the gate's time-out
    EXPECT_EQ(encoder.encodeCount(), 2u);
    EXPECT_EQ(logs.sink().count(kStallLine), 0);

    queue->advance(0.02);
    ASSERT_EQ(encoder.encodeCount(), 3u);
    EXPECT_EQ(encoder.encodeAt(2).buffer, newest);
    EXPECT_TRUE(encoder.encodeAt(2).forceKey);
    EXPECT_EQ(logs.sink().count(kStallLine), 1);

    // The gate counts from zero again: one more frame goes out without an acknowledgement.
    complete(ScriptedEncoder::frame(true));
    submit();
    EXPECT_EQ(encoder.encodeCount(), 4u);
    EXPECT_FALSE(encoder.encodeAt(3).forceKey);
}

TEST_F(VideoPipelineTest, OneStallRecheckIsArmedHoweverManyPicturesAreRefused) {
    configure();
    submit();
    complete(ScriptedEncoder::frame(true));
    submit();
    complete(ScriptedEncoder::frame(false));  // the gate is full from here
    queue->advance(0.5);                      // the refinement timer runs and is refused
    ASSERT_EQ(queue->pendingCount(), 1u);     // the re-check

    // A capture at 20 pictures a second while the companion says nothing.
    for (int i = 0; i < 40; ++i) {
        submit();
        queue->advance(0.05);
    }
    EXPECT_EQ(queue->pendingCount(), 1u) << "one re-check, not one per refused picture";
    EXPECT_EQ(encoder.encodeCount(), 2u);
}

TEST_F(VideoPipelineTest, StalledRefinementIsSentAsAKeyFrame) {
    configure();
    auto still = submit();
    complete(ScriptedEncoder::frame(true));
    queue->advance(0.3);  // refinement takes the second slot
    complete(ScriptedEncoder::frame(false));
    queue->advance(0.3);  // the next refinement finds the gate full
    EXPECT_EQ(encoder.encodeCount(), 2u);

    queue->advance(3.05);
    ASSERT_EQ(encoder.encodeCount(), 3u);
    EXPECT_EQ(encoder.encodeAt(2).buffer, still);
    EXPECT_TRUE(encoder.encodeAt(2).forceKey);
}

TEST_F(VideoPipelineTest, DroppedFrameIsForcedAgainOnlyWhenItWasAForcedKeyFrame) {
    acknowledgeEveryFrame = true;
    configure();
    auto first = submit();
    complete(ScriptedEncoder::dropped());  // the forced key frame
    queue->advance(0.3);                   // at least one refinement sends it again
    ASSERT_EQ(encoder.encodeCount(), 2u);
    EXPECT_EQ(encoder.encodeAt(1).buffer, first);
    EXPECT_TRUE(encoder.encodeAt(1).forceKey);
    complete(ScriptedEncoder::frame(true));

    auto second = submit();
    complete(ScriptedEncoder::dropped());  // an ordinary frame
    queue->advance(0.3);
    ASSERT_EQ(encoder.encodeCount(), 4u);
    EXPECT_EQ(encoder.encodeAt(3).buffer, second);
    EXPECT_FALSE(encoder.encodeAt(3).forceKey);
    EXPECT_EQ(encoder.creations().size(), 1u);  // a drop keeps the encoder
}

TEST_F(VideoPipelineTest, FailedEncodeReplacesTheEncoderAndResendsAsAKeyFrame) {
    configure();
    auto first = submit();
    complete(ScriptedEncoder::frame(true));
    submit();
    complete(ScriptedEncoder::failed(-12912));
    EXPECT_EQ(logs.sink().count("encode failed: -12912"), 1);
    EXPECT_EQ(encoder.invalidations(), 1u);
    EXPECT_EQ(frames.size(), 1u);

    // The failed frame freed its slot: one frame is still in flight, so the next one may go.
    auto third = submit();
    ASSERT_EQ(encoder.encodeCount(), 3u);
    EXPECT_EQ(encoder.encodeAt(2).buffer, third);
    EXPECT_TRUE(encoder.encodeAt(2).forceKey);
    EXPECT_EQ(encoder.encodeAt(2).encoder, 1u);  // made by a new encoder
    EXPECT_EQ(encoder.creations().size(), 2u);
}

TEST_F(VideoPipelineTest, FailedStillPictureIsSentAgainByARefinement) {
    configure();
    auto still = submit();
    complete(ScriptedEncoder::failed(-1));
    queue->advance(0.3);
    ASSERT_EQ(encoder.encodeCount(), 2u);
    EXPECT_EQ(encoder.encodeAt(1).buffer, still);
    EXPECT_TRUE(encoder.encodeAt(1).forceKey);
}

TEST_F(VideoPipelineTest, OutcomeOfAnEncodeStartedBeforeAResetChangesNothing) {
    configure();
    submit();
    complete(ScriptedEncoder::frame(true));
    submit();  // outstanding across the reset

    configure();
    EXPECT_EQ(encoder.invalidations(), 1u);
    complete(ScriptedEncoder::frame(false));
    EXPECT_EQ(frames.size(), 1u);

    // The reset cleared the gate and the encoding flag: the next picture goes out at once, as
    // a key frame, and its number follows the last delivered one.
    submit();
    ASSERT_EQ(encoder.encodeCount(), 3u);
    EXPECT_TRUE(encoder.encodeAt(2).forceKey);
    complete(ScriptedEncoder::frame(true));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].seq, 2u);

    submit();
    pipeline->shutdown();
    queue->runPending();
    complete(ScriptedEncoder::frame(false));
    queue->advance(10);
    EXPECT_EQ(frames.size(), 2u);
    EXPECT_EQ(encoder.encodeCount(), 4u);
}

TEST_F(VideoPipelineTest, EncoderThatCannotBeMadeIsLoggedAndRetriedByTheNextPicture) {
    encoder.setCreationFails(true);
    configure();
    EXPECT_EQ(logs.sink().count("could not create the H.264 encoder (64x36)"), 1);

    submit();
    submit();
    EXPECT_EQ(encoder.encodeCount(), 0u);
    EXPECT_EQ(logs.sink().count("could not create the H.264 encoder (64x36)"), 1);

    encoder.setCreationFails(false);
    queue->advance(10);
    EXPECT_EQ(encoder.encodeCount(), 0u);  // the waiting picture was dropped, not kept
    submit();
    ASSERT_EQ(encoder.encodeCount(), 1u);
    EXPECT_TRUE(encoder.encodeAt(0).forceKey);

    // Creation failing later, after a failed encode dropped the encoder: logged once again.
    encoder.setCreationFails(true);
    complete(ScriptedEncoder::failed(-3));
    submit();
    submit();
    EXPECT_EQ(logs.sink().count("could not create the H.264 encoder (64x36)"), 2);
}

// The owner releases the pipeline from inside onFrame while the pipeline holds the last
// reference to its own thread's queue: the queue then ends on its own thread.
TEST(VideoPipelineOnThreadQueue, OwnerMayReleaseThePipelineFromOnFrame) {
    ScriptedEncoder encoder;
    encoder.setAutoOutcome(ScriptedEncoder::frame(true));
    auto queue = std::make_shared<ThreadQueue>("test.video");
    std::weak_ptr<ThreadQueue> weakQueue = queue;
    // The queue waits until this thread has let go of every temporary reference it took.
    std::promise<void> go;
    queue->async([ready = go.get_future().share()] { ready.wait(); });
    auto owner = VideoPipeline::make(std::move(queue), encoder.factory());
    std::promise<void> released;
    owner->setOnFrame([&](VideoFrame) {
        owner.reset();
        released.set_value();
    });
    owner->configure(kWidth, kHeight, StreamConfig{1280, 6.0, 30});
    owner->submit(std::make_shared<PixelBuffer>(kWidth, kHeight));
    go.set_value();

    ASSERT_EQ(released.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // The pipeline ends once onFrame returns, dropping its encoder and the queue with it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((encoder.invalidations() == 0 || !weakQueue.expired()) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(encoder.invalidations(), 1u);
    EXPECT_TRUE(weakQueue.expired());
}

TEST_F(VideoPipelineTest, ReleasedPipelineIgnoresLateCompletionsAndTimers) {
    configure();
    submit();
    pipeline.reset();
    EXPECT_EQ(encoder.invalidations(), 1u);

    EXPECT_TRUE(encoder.complete(ScriptedEncoder::frame(true)));
    queue->advance(10);
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(queue->pendingCount(), 0u);
}

}  // namespace
}  // namespace quelm
