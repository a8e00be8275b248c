#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/fakes/TestPattern.hpp"
#include "tests/system/WlrSessionTest.hpp"

namespace quelm::test {
namespace {

// Pictures a capture stream delivered, and how it ended.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PixelBufferRef> pictures;
    std::optional<CaptureStatus> stopped;

    CaptureStream::Receivers receivers() {
        CaptureStream::Receivers r;
        r.onPicture = [this](PixelBufferRef picture) {
            std::lock_guard lock(mutex);
            pictures.push_back(std::move(picture));
            changed.notify_all();
        };
        r.onStop = [this](CaptureStatus status) {
            std::lock_guard lock(mutex);
            stopped = std::move(status);
            changed.notify_all();
        };
        return r;
    }
    template <class Predicate>
    bool waitFor(double seconds, Predicate predicate) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), predicate);
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return pictures.size();
    }
    // Waits until no picture came for `quiet` seconds (at most `limit`).
    void settle(double quiet, double limit) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
        auto seen = count();
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::duration<double>(quiet));
            if (count() == seen) {
                return;
            }
            seen = count();
        }
    }
};

// Luma PSNR of a full-size picture against the test pattern, away from the entry.
double lumaPsnr(const PixelBuffer& picture, const WindowRect& skip) {
    double squares = 0;
    long count = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            if (skip.contains(x, y)) {
                continue;
            }
            const double expected =
                videoLuma(testPatternPixel(x, y, HeadlessSway::width, HeadlessSway::height));
            const double difference =
                picture.luma()[static_cast<std::size_t>(y) * picture.lumaStride() + x] - expected;
            squares += difference * difference;
            ++count;
        }
    }
    return 10 * std::log10(255.0 * 255.0 / std::max(squares / count, 1e-9));
}

class WlrCaptureTest : public WlrSessionTest {
  protected:
    void TearDown() override {
        if (stream) {
            stream->stop();
        }
        WlrSessionTest::TearDown();
    }

    CaptureDisplay theOutput() {
        auto displays = session->captureService()->displays();
        auto* list = std::get_if<std::vector<CaptureDisplay>>(&displays);
        if (!list || list->size() != 1) {
            ADD_FAILURE() << "not one output";
            return {};
        }
        return list->front();
    }

    void startStream(CaptureSettings settings) {
        auto created =
            session->captureService()->createStream(theOutput(), settings, received.receivers());
        ASSERT_TRUE(std::holds_alternative<std::shared_ptr<CaptureStream>>(created));
        stream = std::get<std::shared_ptr<CaptureStream>>(created);
        auto status = stream->start();
        ASSERT_TRUE(status.ok()) << status.description;
    }

    Received received;
    std::shared_ptr<CaptureStream> stream;
};

TEST_F(WlrCaptureTest, TheOutputIsListedWithItsLayoutBoundsAndPixelSize) {
    const auto output = theOutput();
    EXPECT_NE(output.id, 0u);
    EXPECT_EQ(output.pixelWidth, HeadlessSway::width);
    EXPECT_EQ(output.pixelHeight, HeadlessSway::height);
    const auto displays = session->displayServices()->activeDisplays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].id, output.id);
    EXPECT_EQ(displays[0].bounds, (DisplayRect{0, 0, HeadlessSway::width, HeadlessSway::height}));
    EXPECT_TRUE(displays[0].isPrimary);
    EXPECT_FALSE(displays[0].isBuiltIn);
}

TEST_F(WlrCaptureTest, TheFirstPictureIsTheWindowAndAStillScreenSendsNoMore) {
    startStream({HeadlessSway::width, HeadlessSway::height, 30, false});
    ASSERT_EQ(received.count(), 1u) << "start() returns once the first picture is out";
    const auto picture = received.pictures.front();
    ASSERT_EQ(picture->width(), HeadlessSway::width);
    ASSERT_EQ(picture->height(), HeadlessSway::height);
    EXPECT_GE(lumaPsnr(*picture, desktop->entry()), 30.0);

    // The window takes the focus of the host's new keyboard; then the screen stands still.
    received.settle(0.5, 3);
    const auto settled = received.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(received.count(), settled) << "a still screen costs nothing";

    ASSERT_TRUE(stream->update({960, 540, 30, false}).ok());
    ASSERT_TRUE(received.waitFor(2, [&] { return received.pictures.size() >= 2; }));
    EXPECT_EQ(received.pictures.back()->width(), 960) << "an update delivers at the new size";
}

TEST_F(WlrCaptureTest, LosingTheCompositorEndsTheStreamAndTheServicesKeepTheirLastAnswers) {
    startStream({640, 360, 30, false});
    desktop->sway().kill();
    ASSERT_TRUE(received.waitFor(5, [&] { return received.stopped.has_value(); }));
    EXPECT_EQ(received.stopped->kind, CaptureStatus::Kind::temporary);
    EXPECT_TRUE(session->isLost());
    EXPECT_EQ(session->displayServices()->activeDisplays().size(), 1u);
    EXPECT_TRUE(std::holds_alternative<CaptureStatus>(session->captureService()->displays()));
    if (auto poster = session->eventPoster()) {
        EXPECT_FALSE(poster->postMouse({MouseEventType::mouseMoved, {5, 5}}));
    }
}

}  // namespace
}  // namespace quelm::test
