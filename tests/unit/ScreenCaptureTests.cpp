#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "QuelmHostKit/streaming/ScreenCapture.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/FakeCaptureService.hpp"
#include "tests/fakes/ManualQueue.hpp"
#include "tests/fakes/RecordingAudioEncoder.hpp"
#include "tests/fakes/ScriptedEncoder.hpp"

namespace quelm {
namespace {

using test::FakeCaptureService;
using test::FakeCaptureStream;

CaptureStatus failure(CaptureStatus::Kind kind, std::string text = "it broke") {
    return CaptureStatus::failure(kind, std::move(text));
}

// One manual queue stands in for the start-up, audio and video queues, so runPending() runs
// every step in call order on the test's thread.
class ScreenCaptureTest : public ::testing::Test {
  protected:
    ScreenCaptureTest() {
        encoder.setAutoOutcome(test::ScriptedEncoder::frame(true));
        ScreenCapture::Collaborators collaborators;
        collaborators.service = service;
        collaborators.startup = queue;
        collaborators.audio = queue;
        collaborators.video = queue;
        collaborators.makeVideoEncoder = encoder.factory();
        collaborators.makeAudioEncoder = audioEncoder.factory();
        collaborators.currentDisplay = [this] { return wantedDisplay; };
        capture = ScreenCapture::make(std::move(collaborators));
    }

    // Starts with receivers that record into `frames` and `errors` (or the given error list).
    void start(StreamConfig with, std::vector<std::string>* errorList = nullptr) {
        auto* target = errorList ? errorList : &errors;
        capture->start(
            with, [this](VideoFrame frame) { frames.push_back(std::move(frame)); },
            [target](std::string code) { target->push_back(std::move(code)); });
    }

    void startAndRun() {
        start(config);
        queue->runPending();
    }

    void setAudio(std::int64_t kbps) {
        if (kbps > 0) {
            capture->setAudio(kbps,
                              [this](AudioPacket packet) { packets.push_back(std::move(packet)); });
        } else {
            capture->setAudio(0, nullptr);
        }
        queue->runPending();
    }

    void deliver(const std::shared_ptr<FakeCaptureStream>& stream, int width, int height) {
        stream->deliverPicture(std::make_shared<PixelBuffer>(width, height));
        queue->runPending();
    }

    void deliverAudio(const std::shared_ptr<FakeCaptureStream>& stream, std::size_t frames = 480) {
        stream->deliverAudio(std::vector<float>(frames * 2, 0.25f));
        queue->runPending();
    }

    test::CapturingLogSink::Scope logs;
    std::shared_ptr<test::ManualQueue> queue = std::make_shared<test::ManualQueue>();
    std::shared_ptr<FakeCaptureService> service = FakeCaptureService::make();
    test::ScriptedEncoder encoder;
    test::RecordingAudioEncoder audioEncoder;
    std::uint32_t wantedDisplay = 1;
    std::shared_ptr<ScreenCapture> capture;
    StreamConfig config{1280, 6.0, 30};
    std::vector<VideoFrame> frames;
    std::vector<std::string> errors;
    std::vector<AudioPacket> packets;
};

TEST_F(ScreenCaptureTest, CapturesTheSelectedDisplayAtTheOutputSizeAndDeliversItsFrames) {
    service->setDisplays(std::vector<CaptureDisplay>{{1, 3840, 2160}, {2, 2560, 1440}});
    wantedDisplay = 2;
    startAndRun();

    auto stream = service->lastStream();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->display().id, 2u);
    EXPECT_EQ(stream->settings(), (CaptureSettings{1280, 720, 30, false}));
    EXPECT_EQ(stream->starts(), 1);
    ASSERT_EQ(encoder.creations().size(), 1u);
    EXPECT_EQ(encoder.creations()[0].width, 1280);

    deliver(stream, 1280, 720);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].width, 1280);
    EXPECT_TRUE(errors.empty());
}

TEST_F(ScreenCaptureTest, AMissingDisplayFallsBackToTheFirstListed) {
    service->setDisplays(std::vector<CaptureDisplay>{{7, 1920, 1080}, {8, 1280, 1024}});
    wantedDisplay = 3;
    config.maxEdge = 0;
    startAndRun();
    ASSERT_TRUE(service->lastStream());
    EXPECT_EQ(service->lastStream()->display().id, 7u);
    EXPECT_EQ(service->lastStream()->settings(), (CaptureSettings{1920, 1080, 30, false}));
}

TEST_F(ScreenCaptureTest, StartFailuresBecomeTheirErrorCodes) {
    using Kind = CaptureStatus::Kind;
    struct Case {
        const char* name;
        bool permission;
        CaptureService::Displays displays;
        CaptureStatus create;
        CaptureStatus start;
        // After the failure: the permission as the classification sees it.
        bool permissionAfter;
        const char* code;
        bool logged;
    };
    const std::vector<CaptureDisplay> one{{1, 1920, 1080}};
    const std::vector<Case> cases = {
        {"no permission", false, one, {}, {}, false, "screenRecordingDenied", false},
        {"listing denied",
         true,
         failure(Kind::denied),
         {},
         {},
         true,
         "screenRecordingDenied",
         true},
        {"listing failed", true, failure(Kind::temporary), {}, {}, true, "captureFailed", true},
        {"listing failed, permission gone",
         true,
         failure(Kind::permanent),
         {},
         {},
         false,
         "screenRecordingDenied",
         true},
        {"no display", true, std::vector<CaptureDisplay>{}, {}, {}, true, "noDisplay", false},
        {"stream refused", true, one, failure(Kind::permanent), {}, true, "captureFailed", true},
        {"start denied", true, one, {}, failure(Kind::denied), true, "screenRecordingDenied", true},
        {"start failed", true, one, {}, failure(Kind::temporary), true, "captureFailed", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs.sink().clear();
        errors.clear();
        service->setPermission(c.permission);
        service->setDisplays(c.displays);
        service->setCreateStatus(c.create);
        service->setStartStatus(c.start);
        if (c.permission != c.permissionAfter) {
            service->onDisplays([this, &c] { service->setPermission(c.permissionAfter); });
        } else {
            service->onDisplays(nullptr);
        }
        startAndRun();
        EXPECT_EQ(errors, std::vector<std::string>{c.code});
        EXPECT_EQ(logs.sink().count("screen capture could not start: it broke"), c.logged ? 1 : 0);
        capture->stop();
        queue->runPending();
    }
}

TEST_F(ScreenCaptureTest, AStreamThatFailedToStartIsNotReconfigured) {
    service->setStartStatus(failure(CaptureStatus::Kind::temporary));
    startAndRun();
    auto stream = service->lastStream();
    ASSERT_TRUE(stream);
    EXPECT_GE(stream->stops(), 1);

    capture->update(StreamConfig{640, 2.0, 15});
    setAudio(64);
    queue->runPending();
    EXPECT_TRUE(stream->updates().empty());
    EXPECT_EQ(service->streams().size(), 1u);
}

// A second start arrives while the first is at each of its three checks: only the second
// stream runs, and only its receivers hear anything.
TEST_F(ScreenCaptureTest, AStaleStartGivesWayAtEachOfItsChecks) {
    enum class Point { listing, creating, starting };
    struct Case {
        const char* name;
        Point point;
        std::size_t streams;
    };
    for (const auto& c : std::vector<Case>{{"before creating its stream", Point::listing, 1},
                                           {"before keeping its stream", Point::creating, 2},
                                           {"after starting its stream", Point::starting, 2}}) {
        SCOPED_TRACE(c.name);
        auto fresh = FakeCaptureService::make();
        service = fresh;
        ScreenCapture::Collaborators collaborators;
        collaborators.service = service;
        collaborators.startup = queue;
        collaborators.audio = queue;
        collaborators.video = queue;
        collaborators.makeVideoEncoder = encoder.factory();
        collaborators.currentDisplay = [] { return 1u; };
        capture = ScreenCapture::make(std::move(collaborators));

        std::vector<std::string> firstErrors;
        std::vector<std::string> secondErrors;
        bool restarted = false;
        auto restart = [&] {
            if (!restarted) {
                restarted = true;
                start(StreamConfig{640, 2.0, 15}, &secondErrors);
            }
        };
        if (c.point == Point::listing) {
            service->onDisplays(restart);
        } else if (c.point == Point::creating) {
            service->onCreate(restart);
        } else {
            service->onStart(restart);
        }
        start(config, &firstErrors);
        queue->runPending();

        auto streams = service->streams();
        ASSERT_EQ(streams.size(), c.streams);
        auto second = streams.back();
        EXPECT_EQ(second->settings().width, 640);
        EXPECT_EQ(second->starts(), 1);
        EXPECT_EQ(second->stops(), 0);
        if (c.streams == 2) {
            auto first = streams.front();
            EXPECT_EQ(first->starts(), c.point == Point::starting ? 1 : 0);
            EXPECT_EQ(first->stops() > 0, c.point == Point::starting);
            first->platformStop(failure(CaptureStatus::Kind::temporary, "gone"));
            deliver(first, 1280, 720);
        }
        deliver(second, 640, 360);
        EXPECT_EQ(logs.sink().count("screen capture stopped: ", true), 0);
        EXPECT_TRUE(firstErrors.empty());
        EXPECT_TRUE(secondErrors.empty());
        EXPECT_EQ(encoder.encodeAt(encoder.encodeCount() - 1).buffer->width(), 640);

        second->platformStop(failure(CaptureStatus::Kind::temporary, "gone"));
        queue->runPending();
        EXPECT_TRUE(firstErrors.empty());
        EXPECT_EQ(secondErrors, std::vector<std::string>{"captureStopped"});
        logs.sink().clear();
    }
}

TEST_F(ScreenCaptureTest, StopWhileTheStreamStartsStopsItAgainSilently) {
    service->onStart([this] { capture->stop(); });
    startAndRun();
    auto stream = service->lastStream();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->starts(), 1);
    EXPECT_GE(stream->stops(), 1);

    deliver(stream, 1280, 720);
    stream->platformStop(failure(CaptureStatus::Kind::temporary));
    queue->runPending();
    EXPECT_EQ(encoder.encodeCount(), 0u);
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(logs.sink().lines().empty());
}

TEST_F(ScreenCaptureTest, UpdateWhileStartingOnlyReplacesTheSettingsBeginUses) {
    service->onDisplays([this] { capture->update(StreamConfig{640, 2.0, 10}); });
    startAndRun();
    auto stream = service->lastStream();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->settings(), (CaptureSettings{640, 360, 10, false}));
    EXPECT_TRUE(stream->updates().empty());
    EXPECT_EQ(encoder.creations().back().config, (StreamConfig{640, 2.0, 10}));
}

// An update and an audio switch landing while the start lists the displays, creates the
// stream or starts it: whichever window they hit, the stream and the pipeline end up with them.
TEST_F(ScreenCaptureTest, SettingsChangedDuringEachStartWindowAreFollowed) {
    enum class Window { listing, creating, starting };
    for (const auto window : {Window::listing, Window::creating, Window::starting}) {
        SCOPED_TRACE(static_cast<int>(window));
        service = FakeCaptureService::make();
        ScreenCapture::Collaborators collaborators;
        collaborators.service = service;
        collaborators.startup = queue;
        collaborators.audio = queue;
        collaborators.video = queue;
        collaborators.makeVideoEncoder = encoder.factory();
        collaborators.makeAudioEncoder = audioEncoder.factory();
        collaborators.currentDisplay = [] { return 1u; };
        capture = ScreenCapture::make(std::move(collaborators));

        bool changed = false;
        auto change = [&] {
            if (!changed) {
                changed = true;
                capture->update(StreamConfig{640, 2.0, 10});
                capture->setAudio(64, [](AudioPacket) {});
            }
        };
        if (window == Window::listing) {
            service->onDisplays(change);
        } else if (window == Window::creating) {
            service->onCreate(change);
        } else {
            service->onStart(change);
        }
        startAndRun();

        auto stream = service->lastStream();
        ASSERT_TRUE(stream);
        const auto updates = stream->updates();
        const auto effective = updates.empty() ? stream->settings() : updates.back();
        EXPECT_EQ(effective, (CaptureSettings{640, 360, 10, true}));
        EXPECT_EQ(encoder.creations().back().config, (StreamConfig{640, 2.0, 10}));
        deliver(stream, 640, 360);
        EXPECT_EQ(encoder.encodeAt(encoder.encodeCount() - 1).buffer->width(), 640);
        EXPECT_TRUE(errors.empty());
        capture->stop();
        queue->runPending();
    }
}

TEST_F(ScreenCaptureTest, AStartFailureWithoutACaptureServiceIsReported) {
    ScreenCapture::Collaborators collaborators;
    collaborators.startup = queue;
    collaborators.audio = queue;
    collaborators.video = queue;
    collaborators.makeVideoEncoder = encoder.factory();
    capture = ScreenCapture::make(std::move(collaborators));
    startAndRun();
    EXPECT_EQ(errors, std::vector<std::string>{"captureFailed"});
}

TEST_F(ScreenCaptureTest, UpdateAfterStopDoesNothing) {
    startAndRun();
    capture->stop();
    capture->update(StreamConfig{640, 2.0, 10});
    queue->runPending();
    EXPECT_TRUE(service->lastStream()->updates().empty());
}

TEST_F(ScreenCaptureTest, UpdateReconfiguresTheRunningStreamAndThePipeline) {
    startAndRun();
    auto stream = service->lastStream();
    capture->update(StreamConfig{640, 2.0, 60});
    queue->runPending();
    ASSERT_EQ(stream->updates().size(), 1u);
    EXPECT_EQ(stream->updates()[0], (CaptureSettings{640, 360, 60, false}));
    EXPECT_EQ(service->streams().size(), 1u);

    // Pictures still in the old size are dropped until the new size arrives.
    deliver(stream, 1280, 720);
    EXPECT_EQ(encoder.encodeCount(), 0u);
    deliver(stream, 640, 360);
    EXPECT_EQ(encoder.encodeCount(), 1u);
    EXPECT_TRUE(errors.empty());
}

TEST_F(ScreenCaptureTest, AFailedReconfigurationIsReportedAsCaptureFailed) {
    startAndRun();
    service->setUpdateStatus(failure(CaptureStatus::Kind::permanent, "no"));
    capture->update(StreamConfig{640, 2.0, 60});
    queue->runPending();
    EXPECT_EQ(logs.sink().count("capture update failed: no"), 1);

    setAudio(64);
    EXPECT_EQ(logs.sink().count("audio switch failed: no"), 1);
    EXPECT_EQ(errors, (std::vector<std::string>{"captureFailed", "captureFailed"}));
}

TEST_F(ScreenCaptureTest, AudioIsSwitchedByReconfigurationAndTheRateOnlyByANewEncoder) {
    startAndRun();
    auto stream = service->lastStream();

    setAudio(64);
    ASSERT_EQ(stream->updates().size(), 1u);
    EXPECT_TRUE(stream->updates()[0].audio);
    deliverAudio(stream);
    deliverAudio(stream);
    EXPECT_EQ(audioEncoder.creations(), std::vector<std::int64_t>{64});
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_FALSE(packets[0].cookie.empty());
    EXPECT_TRUE(packets[1].cookie.empty());

    setAudio(128);
    EXPECT_EQ(stream->updates().size(), 1u);
    deliverAudio(stream);
    EXPECT_EQ(audioEncoder.creations(), (std::vector<std::int64_t>{64, 128}));
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_FALSE(packets[2].cookie.empty());

    // Off: samples already on their way are not delivered any more.
    stream->deliverAudio(std::vector<float>(960, 0.1f));
    setAudio(0);
    ASSERT_EQ(stream->updates().size(), 2u);
    EXPECT_FALSE(stream->updates()[1].audio);
    deliverAudio(stream);
    EXPECT_EQ(packets.size(), 3u);
    EXPECT_TRUE(errors.empty());
}

TEST_F(ScreenCaptureTest, AudioSettingsSurviveARestartAndAreClearedByStop) {
    setAudio(96);
    startAndRun();
    EXPECT_TRUE(service->lastStream()->settings().audio);
    EXPECT_TRUE(service->lastStream()->updates().empty());

    startAndRun();
    EXPECT_TRUE(service->lastStream()->settings().audio);
    deliverAudio(service->lastStream());
    EXPECT_EQ(packets.size(), 1u);

    capture->stop();
    queue->runPending();
    startAndRun();
    EXPECT_FALSE(service->lastStream()->settings().audio);
}

TEST_F(ScreenCaptureTest, AnEncoderThatCannotBeMadeSkipsTheSamples) {
    startAndRun();
    setAudio(64);
    audioEncoder.setCreationFails(true);
    deliverAudio(service->lastStream());
    EXPECT_TRUE(packets.empty());
    audioEncoder.setCreationFails(false);
    deliverAudio(service->lastStream());
    EXPECT_EQ(packets.size(), 1u);
}

TEST_F(ScreenCaptureTest, AudioStatisticsAreLoggedPerFiveSecondWindow) {
    startAndRun();
    setAudio(64);
    auto stream = service->lastStream();
    deliverAudio(stream);  // opens the first window, silently
    for (double step : {1.0, 0.25, 3.0, 0.75}) {
        queue->advance(step);
        deliverAudio(stream);
    }
    EXPECT_EQ(logs.sink().count("audio capture: ", true), 1);
    EXPECT_EQ(logs.sink().count("audio capture: 4 callbacks, max gap 3000ms"), 1);

    // The statistics survive a restart: the silence shows as the largest gap.
    capture->stop();
    startAndRun();
    setAudio(64);
    queue->advance(7.5);
    deliverAudio(service->lastStream());
    EXPECT_EQ(logs.sink().count("audio capture: 1 callbacks, max gap 7500ms"), 1);
}

TEST_F(ScreenCaptureTest, APlatformStopIsReportedOnceAndKeepsTheSettings) {
    startAndRun();
    auto stream = service->lastStream();
    stream->platformStop(failure(CaptureStatus::Kind::temporary, "X server lost"));
    queue->runPending();
    EXPECT_EQ(errors, std::vector<std::string>{"captureStopped"});
    EXPECT_EQ(logs.sink().count("screen capture stopped: X server lost"), 1);
    EXPECT_GE(stream->stops(), 1);

    stream->platformStop(failure(CaptureStatus::Kind::temporary, "again"));
    deliver(stream, 1280, 720);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(encoder.encodeCount(), 0u);

    // The settings stay, so a later update while no stream runs is kept for the next start.
    capture->update(StreamConfig{640, 2.0, 30});
    queue->runPending();
    EXPECT_TRUE(stream->updates().empty());
}

TEST_F(ScreenCaptureTest, StopEndsTheStreamAndSilencesItsReceivers) {
    startAndRun();
    setAudio(64);
    auto stream = service->lastStream();
    deliver(stream, 1280, 720);
    ASSERT_EQ(frames.size(), 1u);

    capture->stop();
    queue->runPending();
    EXPECT_GE(stream->stops(), 1);
    deliver(stream, 1280, 720);
    deliverAudio(stream);
    stream->platformStop(failure(CaptureStatus::Kind::temporary));
    queue->runPending();
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(errors.empty());
}

TEST_F(ScreenCaptureTest, AcknowledgeAndKeyFrameRequestsReachThePipeline) {
    encoder.setAutoOutcome(std::nullopt);
    startAndRun();
    auto stream = service->lastStream();
    deliver(stream, 1280, 720);
    ASSERT_TRUE(encoder.complete(test::ScriptedEncoder::frame(true)));
    queue->runPending();
    deliver(stream, 1280, 720);
    ASSERT_TRUE(encoder.complete(test::ScriptedEncoder::frame(false)));
    queue->runPending();
    // Two frames in flight: a third picture waits for an acknowledgement.
    deliver(stream, 1280, 720);
    EXPECT_EQ(encoder.encodeCount(), 2u);
    capture->acknowledge();
    queue->runPending();
    EXPECT_EQ(encoder.encodeCount(), 3u);

    capture->requestKeyFrame();
    ASSERT_TRUE(encoder.complete(test::ScriptedEncoder::frame(false)));
    queue->runPending();
    capture->acknowledge();
    queue->runPending();
    ASSERT_EQ(encoder.encodeCount(), 4u);
    EXPECT_TRUE(encoder.encodeAt(3).forceKey);
}

TEST_F(ScreenCaptureTest, AConnectingCompanionFindsTheCaptureReadyOnceAndItGoesWhenNobodyTakesIt) {
    service->setDisplays(std::vector<CaptureDisplay>{{1, 3840, 2160}, {2, 2560, 1440}});
    wantedDisplay = 2;
    auto sizes = [this] {
        std::vector<std::pair<std::uint32_t, int>> seen;
        for (const auto& p : service->preparations()) {
            seen.emplace_back(p.display.id, p.likely.width);
        }
        return seen;
    };
    // Nothing known of the companion yet: its preset for a phone away from home, 1920 pixels
    // wide, with an encoder for it. A burst of connections costs one of each.
    capture->prepare();
    capture->prepare();
    queue->runPending();
    EXPECT_EQ(sizes(), (std::vector<std::pair<std::uint32_t, int>>{{2, 1920}}));
    ASSERT_EQ(encoder.creations().size(), 1u);
    EXPECT_EQ(encoder.creations()[0].width, 1920);

    // The stream takes the capture over, but asks for another size: a new encoder. While a
    // stream runs, a connection prepares nothing.
    startAndRun();
    EXPECT_EQ(encoder.creations().size(), 2u);
    capture->prepare();
    queue->runPending();
    EXPECT_EQ(service->preparations().size(), 1u);
    EXPECT_EQ(encoder.creations().size(), 2u);

    // After a stop, the next one is made at the size the last companion asked for, and kept as
    // long as connections keep coming.
    capture->stop();
    queue->runPending();
    capture->prepare();
    queue->runPending();
    EXPECT_EQ(sizes(), (std::vector<std::pair<std::uint32_t, int>>{{2, 1920}, {2, 1280}}));
    EXPECT_EQ(encoder.creations().size(), 3u);
    queue->advance(ScreenCapture::preparedLife / 2);
    capture->prepare();
    queue->runPending();
    queue->advance(ScreenCapture::preparedLife * 0.75);
    EXPECT_EQ(service->preparations().size(), 2u);
    EXPECT_EQ(service->discards(), 0);
    queue->advance(ScreenCapture::preparedLife * 0.5);
    EXPECT_EQ(service->discards(), 1);

    capture->prepare();
    queue->runPending();
    EXPECT_EQ(service->preparations().size(), 3u) << "a discarded preparation is made again";
    // A start with the settings it was made for takes the prepared encoder.
    startAndRun();
    EXPECT_EQ(encoder.creations().size(), 4u);
    deliver(service->lastStream(), 1280, 720);
    EXPECT_EQ(frames.size(), 1u);
}

}  // namespace
}  // namespace quelm
