#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool) would clash with its names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"
#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "QuelmHostKit/linux/x11/XShmCaptureSession.hpp"
#include "QuelmHostKit/linux/x11/XShmCaptureStream.hpp"
#include "tests/fakes/PrivateXvfb.hpp"

namespace quelm::test {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;

// Records what a stream delivers, keeping the last picture only (or all of them while told to
// hold them); thread-safe.
class Receiver {
  public:
    CaptureStream::Receivers receivers() {
        CaptureStream::Receivers r;
        r.onPicture = [this](PixelBufferRef picture) {
            std::lock_guard lock(mutex_);
            ++count_;
            if (holding_) {
                held_.push_back(picture);
            }
            last_ = std::move(picture);
            changed_.notify_all();
        };
        r.onStop = [this](CaptureStatus status) {
            std::lock_guard lock(mutex_);
            stops_.push_back(std::move(status));
            changed_.notify_all();
        };
        return r;
    }

    std::size_t pictures() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    PixelBufferRef last() const {
        std::lock_guard lock(mutex_);
        return last_;
    }
    // Keeps every picture from now on, like a consumer that fell behind; false lets them go.
    void hold(bool holding) {
        std::lock_guard lock(mutex_);
        holding_ = holding;
        if (!holding) {
            held_.clear();
        }
    }
    std::vector<CaptureStatus> stops() const {
        std::lock_guard lock(mutex_);
        return stops_;
    }
    bool waitForPictures(std::size_t count, double seconds = 3.0) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return count_ >= count; });
    }
    bool waitForStop(double seconds = 5.0) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return !stops_.empty(); });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t count_ = 0;
    PixelBufferRef last_;
    bool holding_ = false;
    std::vector<PixelBufferRef> held_;
    std::vector<CaptureStatus> stops_;
};

void pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// An Xvfb with one full-screen window the test paints on.
class XShmCaptureStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        xvfb = PrivateXvfb::start(why, kWidth, kHeight);
        if (!xvfb) {
            GTEST_SKIP() << "no X server for the test: " << why;
        }
        painter = XOpenDisplay(xvfb->name().c_str());
        ASSERT_NE(painter, nullptr);
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = WhitePixel(painter, 0);
        window = XCreateWindow(painter, DefaultRootWindow(painter), 0, 0, kWidth, kHeight, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(painter, window);
        gc = XCreateGC(painter, window, 0, nullptr);
        // The pointer rests in a corner, its picture clipped away almost entirely.
        XWarpPointer(painter, None, DefaultRootWindow(painter), 0, 0, 0, 0, kWidth - 1,
                     kHeight - 1);
        XSync(painter, False);
        pump = X11EventPump::start(xvfb->name());
        ASSERT_TRUE(pump);
        displays = X11DisplayServices::create(pump);
        ASSERT_TRUE(displays);
        auto active = displays->activeDisplays();
        ASSERT_FALSE(active.empty());
        displayId = active.front().id;
        pause(0.2);
    }

    void TearDown() override {
        stream.reset();
        if (painter) {
            XFreeGC(painter, gc);
            XCloseDisplay(painter);
        }
        displays.reset();
        if (pump) {
            pump->stop();
        }
        xvfb.reset();
    }

    XShmCaptureStream::Options options(std::shared_ptr<NeverCaptureRegistry> registry = nullptr) {
        XShmCaptureStream::Options options;
        options.displayName = xvfb->name();
        options.displayId = displayId;
        options.displays = displays;
        options.neverCapture = std::move(registry);
        options.onPointer = [this](PointerPosition position) {
            std::lock_guard lock(pointerMutex);
            pointers.push_back(position);
        };
        return options;
    }

    void makeStream(CaptureSettings settings,
                    std::shared_ptr<NeverCaptureRegistry> registry = nullptr,
                    std::shared_ptr<XShmCaptureSession> prepared = nullptr) {
        stream = std::make_shared<XShmCaptureStream>(options(std::move(registry)), settings,
                                                     receiver.receivers(), std::move(prepared));
    }

    void fill(unsigned long rgb, int x, int y, int width, int height) {
        XSetForeground(painter, gc, rgb);
        XFillRectangle(painter, window, gc, x, y, static_cast<unsigned>(width),
                       static_cast<unsigned>(height));
        XSync(painter, False);
    }

    static int luma(const PixelBuffer& picture, int x, int y) {
        return picture.luma()[y * picture.lumaStride() + x];
    }

    std::unique_ptr<PrivateXvfb> xvfb;
    Display* painter = nullptr;
    Window window = 0;
    GC gc = nullptr;
    std::shared_ptr<X11EventPump> pump;
    std::shared_ptr<X11DisplayServices> displays;
    std::uint32_t displayId = 0;
    Receiver receiver;
    std::shared_ptr<XShmCaptureStream> stream;
    std::mutex pointerMutex;
    std::vector<PointerPosition> pointers;
};

TEST_F(XShmCaptureStreamTest, DeliversTheFirstPictureThenOnlyChangesAndEveryUpdate) {
    makeStream({kWidth / 2, kHeight / 2, 30, false});
    ASSERT_TRUE(stream->start().ok());
    ASSERT_TRUE(receiver.waitForPictures(1));
    pause(0.5);
    EXPECT_EQ(receiver.pictures(), 1u) << "a still screen delivered again";
    EXPECT_EQ(receiver.last()->width(), kWidth / 2);

    fill(0x000000, 10, 10, 50, 50);
    ASSERT_TRUE(receiver.waitForPictures(2));
    pause(0.3);
    EXPECT_EQ(receiver.pictures(), 2u);

    ASSERT_TRUE(stream->update({kWidth / 4, kHeight / 4, 30, false}).ok());
    ASSERT_TRUE(receiver.waitForPictures(3));
    EXPECT_EQ(receiver.last()->width(), kWidth / 4);
    EXPECT_EQ(receiver.last()->height(), kHeight / 4);
    pause(0.3);
    EXPECT_EQ(receiver.pictures(), 3u);

    stream->stop();
    EXPECT_TRUE(receiver.stops().empty());
}

TEST_F(XShmCaptureStreamTest, NeverDeliversFasterThanTheFrameRate) {
    makeStream({kWidth, kHeight, 10, false});
    ASSERT_TRUE(stream->start().ok());
    ASSERT_TRUE(receiver.waitForPictures(1));
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; std::chrono::steady_clock::now() - begin < std::chrono::seconds(1); ++i) {
        fill(i % 2 ? 0xFF0000 : 0x0000FF, 100, 100, 100, 100);
        pause(0.005);
    }
    pause(0.15);
    // One second at 10 per second, plus the first picture, one at the edge, and the one the
    // pacing's slack of an interval lets through after a still screen.
    EXPECT_LE(receiver.pictures(), 13u);
    EXPECT_GE(receiver.pictures(), 6u);
}

TEST_F(XShmCaptureStreamTest, AConsumerThatHoldsEveryPictureGetsNoMoreThanThePoolAndThenTheNewest) {
    const auto limit = XShmCaptureStream::poolLimit;
    receiver.hold(true);
    makeStream({kWidth, kHeight, 30, false});
    ASSERT_TRUE(stream->start().ok());
    for (std::size_t i = 0; i < limit + 3; ++i) {
        fill(i % 2 ? 0xFF0000 : 0x0000FF, 100, 100, 100, 100);
        pause(0.06);
    }
    pause(0.2);
    EXPECT_EQ(receiver.pictures(), limit) << "more pictures out than the pool's bound";
    // Once they are released, what changed meanwhile comes through.
    receiver.hold(false);
    fill(0x000000, 0, 0, kWidth, kHeight);
    ASSERT_TRUE(receiver.waitForPictures(limit + 1));
    pause(0.3);
    EXPECT_NEAR(luma(*receiver.last(), 150, 150), 16, 1);
}

TEST_F(XShmCaptureStreamTest, PictureShowsTheScreenInBt709WithTheSecretBlackedOut) {
    fill(0xFF0000, 0, 0, 200, 200);
    auto registry = std::make_shared<NeverCaptureRegistry>();
    registry->add(DisplayRect{300, 100, 100.5, 80});
    makeStream({kWidth, kHeight, 30, false}, registry);
    ASSERT_TRUE(stream->start().ok());
    ASSERT_TRUE(receiver.waitForPictures(1));
    auto picture = receiver.last();
    // Video range: white 235, black 16, pure red 63 (BT.709).
    EXPECT_NEAR(luma(*picture, 500, 300), 235, 1);
    EXPECT_NEAR(luma(*picture, 50, 50), 63, 1);
    for (int x : {300, 350, 400}) {
        EXPECT_NEAR(luma(*picture, x, 120), 16, 1) << x;
    }
    EXPECT_NEAR(luma(*picture, 402, 120), 235, 1);

    // It stays black when the window underneath changes.
    fill(0x00FF00, 250, 50, 300, 200);
    ASSERT_TRUE(receiver.waitForPictures(2));
    picture = receiver.last();
    EXPECT_NEAR(luma(*picture, 350, 150), 16, 1);
    EXPECT_GT(luma(*picture, 260, 60), 150);
}

TEST_F(XShmCaptureStreamTest, ThePointerIsDrawnWhereItIsAndItsMovesArePictures) {
    makeStream({kWidth, kHeight, 30, false});
    ASSERT_TRUE(stream->start().ok());
    ASSERT_TRUE(receiver.waitForPictures(1));
    XWarpPointer(painter, None, DefaultRootWindow(painter), 0, 0, 0, 0, 320, 180);
    XSync(painter, False);
    ASSERT_TRUE(receiver.waitForPictures(2));
    auto picture = receiver.last();
    int darkest = 255;
    for (int y = 165; y < 195; ++y) {
        for (int x = 305; x < 335; ++x) {
            darkest = std::min(darkest, luma(*picture, x, y));
        }
    }
    EXPECT_LT(darkest, 100) << "no cursor around the pointer";
    EXPECT_NEAR(luma(*picture, 100, 300), 235, 1);

    // The position it read went to whoever follows the pointer, and the picture carries when
    // it passed each stage, in order.
    {
        std::lock_guard lock(pointerMutex);
        ASSERT_FALSE(pointers.empty());
        EXPECT_EQ(pointers.back(), (PointerPosition{320, 180}));
    }
    const auto& t = picture->times();
    EXPECT_GT(t.changed, 0);
    EXPECT_LE(t.changed, t.grabStarted);
    EXPECT_LE(t.grabStarted, t.grabbed);
    EXPECT_LE(t.grabbed, t.converted);
}

TEST_F(XShmCaptureStreamTest, LosingTheServerEndsTheStreamWithATemporaryStop) {
    makeStream({kWidth, kHeight, 30, false});
    ASSERT_TRUE(stream->start().ok());
    ASSERT_TRUE(receiver.waitForPictures(1));
    XCloseDisplay(painter);
    painter = nullptr;
    displays.reset();
    xvfb->kill();
    ASSERT_TRUE(receiver.waitForStop());
    EXPECT_EQ(receiver.stops().front().kind, CaptureStatus::Kind::temporary);
    EXPECT_FALSE(stream->update({kWidth, kHeight, 30, false}).ok());
    stream->stop();
}

TEST_F(XShmCaptureStreamTest, AnUnknownDisplayIsRefusedAtStart) {
    displayId = 0x7FFF;
    makeStream({kWidth, kHeight, 30, false});
    auto status = stream->start();
    EXPECT_EQ(status.kind, CaptureStatus::Kind::permanent);
    EXPECT_EQ(receiver.pictures(), 0u);
}

TEST_F(XShmCaptureStreamTest, APreparedCaptureIsTakenOverAndShowsTheScreenOfItsStart) {
    auto prepared = XShmCaptureStream::prepare(options(), kWidth, kHeight);
    ASSERT_TRUE(prepared);
    const std::weak_ptr<XShmCaptureSession> watched = prepared;
    // The screen changes after the preparation read it.
    fill(0x000000, 0, 0, 200, 200);
    makeStream({kWidth, kHeight, 30, false}, nullptr, std::move(prepared));
    ASSERT_TRUE(stream->start().ok());
    ASSERT_TRUE(receiver.waitForPictures(1));
    EXPECT_NEAR(luma(*receiver.last(), 50, 50), 16, 1) << "the preparation's picture came out";
    EXPECT_NEAR(luma(*receiver.last(), 500, 300), 235, 1);
    EXPECT_FALSE(watched.expired());
    pause(0.3);
    EXPECT_EQ(receiver.pictures(), 1u);

    fill(0xFFFFFF, 0, 0, 200, 200);
    ASSERT_TRUE(receiver.waitForPictures(2));
    EXPECT_NEAR(luma(*receiver.last(), 50, 50), 235, 1);
    // Taken over, it ends with the capture thread; left unused, the stream would still hold it.
    stream->stop();
    EXPECT_TRUE(watched.expired());
}

}  // namespace
}  // namespace quelm::test
