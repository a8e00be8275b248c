#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "QuelmHostKit/streaming/SystemAudioCaptureStream.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/ManualQueue.hpp"

namespace quelm {
namespace {

class StillVideo final : public CaptureStream {
  public:
    CaptureStatus start() override { return CaptureStatus::success(); }
    CaptureStatus update(const CaptureSettings&) override { return CaptureStatus::success(); }
    void stop() override {}
};

// A sound server that can be taken away and brought back; records when it was asked.
class ScriptedSoundSource final : public SystemAudioSource {
  public:
    explicit ScriptedSoundSource(test::ManualQueue& clock) : clock_(clock) {}

    CaptureStatus start(SamplesHandler onSamples, StopHandler onStop) override {
        attempts.push_back(clock_.now());
        if (!available) {
            return CaptureStatus::failure(CaptureStatus::Kind::temporary,
                                          "no sound server: Connection refused");
        }
        onSamples_ = std::move(onSamples);
        onStop_ = std::move(onStop);
        return CaptureStatus::success();
    }
    void stop() override {
        onSamples_ = nullptr;
        onStop_ = nullptr;
    }

    bool recording() const { return onSamples_ != nullptr; }
    // The server goes away, as its own thread reports it.
    void lose() {
        available = false;
        if (auto onStop = onStop_) {
            onStop("sound server connection ended: Connection terminated");
        }
    }
    void play() {
        float frames[8] = {};
        onSamples_(AudioSamples{frames});
    }

    bool available = true;
    std::vector<double> attempts;

  private:
    test::ManualQueue& clock_;
    SamplesHandler onSamples_;
    StopHandler onStop_;
};

class SystemAudioCaptureStreamTest : public ::testing::Test {
  protected:
    std::shared_ptr<SystemAudioCaptureStream> make(bool audioWanted) {
        return std::make_shared<SystemAudioCaptureStream>(
            std::make_shared<StillVideo>(), source, audioWanted,
            [this](const AudioSamples& samples) { fresh.push_back(samples.fresh); }, retry);
    }
    // Attempt times relative to `from`.
    std::vector<double> attemptsSince(double from) const {
        std::vector<double> out;
        for (double at : source->attempts) {
            out.push_back(at - from);
        }
        return out;
    }

    test::CapturingLogSink::Scope log;
    std::shared_ptr<test::ManualQueue> retry = std::make_shared<test::ManualQueue>();
    std::shared_ptr<ScriptedSoundSource> source = std::make_shared<ScriptedSoundSource>(*retry);
    std::vector<bool> fresh;
};

TEST_F(SystemAudioCaptureStreamTest, ALostSoundServerIsTriedAgainWithBackOffAndLoggedOnce) {
    auto stream = make(true);
    ASSERT_TRUE(stream->start().ok());
    source->play();
    source->play();
    const double lostAt = retry->now();
    source->attempts.clear();
    source->lose();
    retry->advance(5.0);
    EXPECT_EQ(attemptsSince(lostAt), (std::vector<double>{0.25, 0.75, 1.75, 3.75}));
    EXPECT_FALSE(source->recording());

    source->available = true;
    retry->advance(2.0);
    ASSERT_TRUE(source->recording());
    source->play();
    source->play();
    // Each recording's first run is marked, so the encoder starts afresh with it.
    EXPECT_EQ(fresh, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(log.sink().count("system audio stopped: ", true), 1);
    EXPECT_EQ(log.sink().count("system audio unavailable: ", true), 0);

    // Running again: nothing more is tried.
    const auto attempts = source->attempts.size();
    retry->advance(10.0);
    EXPECT_EQ(source->attempts.size(), attempts);
    stream->stop();
}

TEST_F(SystemAudioCaptureStreamTest, NoSoundServerAtStartIsLoggedOnceAndTriedUntilAudioIsOff) {
    source->available = false;
    auto stream = make(true);
    const double startedAt = retry->now();
    ASSERT_TRUE(stream->start().ok());  // the picture goes on
    retry->advance(6.0);
    EXPECT_EQ(attemptsSince(startedAt), (std::vector<double>{0, 0.25, 0.75, 1.75, 3.75, 5.75}));
    EXPECT_EQ(log.sink().count("system audio unavailable: ", true), 1);

    // Audio switched off: no more attempts; on again, a failure is news again.
    stream->update(CaptureSettings{640, 360, 30, false});
    const auto attempts = source->attempts.size();
    retry->advance(10.0);
    EXPECT_EQ(source->attempts.size(), attempts);
    stream->update(CaptureSettings{640, 360, 30, true});
    EXPECT_EQ(log.sink().count("system audio unavailable: ", true), 2);

    // Stopped: nothing is tried any more.
    stream->stop();
    const auto afterStop = source->attempts.size();
    retry->advance(10.0);
    EXPECT_EQ(source->attempts.size(), afterStop);
}

TEST_F(SystemAudioCaptureStreamTest, ALossReportedAfterAStopDoesNothing) {
    auto stream = make(true);
    ASSERT_TRUE(stream->start().ok());
    source->lose();  // queued on the retry queue, then the stream stops before it runs
    stream->stop();
    source->available = true;
    retry->advance(5.0);
    EXPECT_EQ(source->attempts.size(), 1u);
    EXPECT_FALSE(source->recording());
}

}  // namespace
}  // namespace quelm
