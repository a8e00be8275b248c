#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "QuelmCore/EsDescriptor.hpp"
#include "QuelmCore/companion/AudioDecoder.hpp"
#include "QuelmHostKit/codecs/AudioEncoder.hpp"
#include "QuelmHostKit/linux/pulse/PulseAudioSource.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/PrivateSoundServer.hpp"
#include "tests/fakes/ToneAnalysis.hpp"

namespace quelm {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::PrivateSoundServer;

// What the capture delivered, encoded as the host encodes it, on the source's thread.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::unique_ptr<AudioEncoder> encoder = AudioEncoder::create(128);
    std::vector<AudioPacket> packets;
    std::size_t frames = 0;
    bool badFormat = false;
    std::optional<std::string> stopped;

    void samples(const AudioSamples& s) {
        std::lock_guard lock(mutex);
        frames += s.frames();
        badFormat |= s.sampleRate != 48000 || s.channels != 2 || s.interleaved.size() % 2 != 0;
        if (auto packet = encoder->encode(s)) {
            packets.push_back(std::move(*packet));
        }
        changed.notify_all();
    }
    void stop(std::string description) {
        std::lock_guard lock(mutex);
        stopped = std::move(description);
        changed.notify_all();
    }
};

TEST(PulseAudioSourceTests, AToneIntoTheDefaultSinkArrivesAsAacOfTheSamePitch) {
    PrivateSoundServer server;
    if (!server.ready()) {
        GTEST_SKIP() << "no private sound server: " << server.why();
    }
    test::CapturingLogSink::Scope log;
    Recorder recorder;
    ASSERT_TRUE(recorder.encoder);
    PulseAudioSource::Options options;
    options.server = server.server();
    PulseAudioSource source(options);
    auto status = source.start([&](const AudioSamples& s) { recorder.samples(s); },
                               [&](std::string d) { recorder.stop(std::move(d)); });
    ASSERT_TRUE(status.ok()) << status.description;
    EXPECT_TRUE(log.sink().waitFor("system audio: recording test.monitor", 1));

    // Two seconds of 1 kHz in both channels.
    auto tone = test::ToneAnalysis::interleavedTone({1000.0, 1000.0}, 48000, 96000);
    fs::path raw = server.folder() / "tone.raw";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(tone.data()),
                  static_cast<std::streamsize>(tone.size() * sizeof(float)));
    }
    auto player = server.play(raw);
    ASSERT_TRUE(player->started());
    ASSERT_EQ(player->wait(20), 0) << "pacat failed";
    std::this_thread::sleep_for(300ms);

    std::vector<AudioPacket> packets;
    {
        std::lock_guard lock(recorder.mutex);
        packets = recorder.packets;
        EXPECT_FALSE(recorder.badFormat);
        // The monitor runs all the time: at least the tone's length came through.
        EXPECT_GE(recorder.frames, 96000u);
    }
    ASSERT_GT(packets.size(), 20u);
    EXPECT_EQ(packets[0].seq, 1u);
    ASSERT_FALSE(packets[0].cookie.empty());
    EXPECT_TRUE(EsDescriptor::unwrap(packets[0].cookie));
    for (std::size_t i = 1; i < packets.size(); ++i) {
        EXPECT_TRUE(packets[i].cookie.empty());
        EXPECT_EQ(packets[i].seq, i + 1);
    }

    AudioDecoder decoder;
    std::vector<float> left, right;
    for (const auto& packet : packets) {
        auto encoded = packet.encoded();
        ASSERT_TRUE(encoded);
        auto received = AudioPacket::decode(*encoded);
        ASSERT_TRUE(received);
        if (auto pcm = decoder.decode(*received)) {
            left.insert(left.end(), pcm->channels[0].begin(), pcm->channels[0].end());
            right.insert(right.end(), pcm->channels[1].begin(), pcm->channels[1].end());
        }
    }
    EXPECT_NEAR(test::ToneAnalysis::frequency(left, 48000), 1000.0, 5.0);
    EXPECT_NEAR(test::ToneAnalysis::frequency(right, 48000), 1000.0, 5.0);
    EXPECT_GT(test::ToneAnalysis::rms(left), 0.1);

    // The server going away ends the capture through onStop; the source survives it.
    server.stop();
    {
        std::unique_lock lock(recorder.mutex);
        EXPECT_TRUE(
            recorder.changed.wait_for(lock, 10s, [&] { return recorder.stopped.has_value(); }));
    }
    source.stop();
}

TEST(PulseAudioSourceTests, AHandlerMayStopTheSourceAndNothingArrivesAfterwards) {
    PrivateSoundServer server;
    if (!server.ready()) {
        GTEST_SKIP() << "no private sound server: " << server.why();
    }
    PulseAudioSource::Options options;
    options.server = server.server();
    PulseAudioSource source(options);
    std::mutex mutex;
    std::condition_variable changed;
    int deliveries = 0;
    auto status = source.start(
        [&](const AudioSamples&) {
            std::lock_guard lock(mutex);
            if (++deliveries == 3) {
                source.stop();
            }
            changed.notify_all();
        },
        [](std::string) {});
    ASSERT_TRUE(status.ok()) << status.description;
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return deliveries >= 3; }));
    }
    std::this_thread::sleep_for(300ms);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(deliveries, 3);
    }
    // The loop itself ends here, from the test's thread; a new start works again.
    source.stop();
    EXPECT_TRUE(source.start([](const AudioSamples&) {}, [](std::string) {}).ok());
    source.stop();
}

TEST(PulseAudioSourceTests, ASoundServerThatDiesStopsTheSourceAndTheNextStartWorksOnceItIsBack) {
    PrivateSoundServer server;
    if (!server.ready()) {
        GTEST_SKIP() << "no private sound server: " << server.why();
    }
    test::CapturingLogSink::Scope log;
    PulseAudioSource::Options options;
    options.server = server.server();
    PulseAudioSource source(options);
    Recorder first;
    ASSERT_TRUE(source
                    .start([&](const AudioSamples& s) { first.samples(s); },
                           [&](std::string why) { first.stop(std::move(why)); })
                    .ok());
    {
        std::unique_lock lock(first.mutex);
        ASSERT_TRUE(first.changed.wait_for(lock, 5s, [&] { return first.frames > 0; }));
    }

    server.kill();
    {
        std::unique_lock lock(first.mutex);
        ASSERT_TRUE(first.changed.wait_for(lock, 5s, [&] { return first.stopped.has_value(); }));
    }
    source.stop();
    // While the server is away a start fails and says why; the caller logs it, not the source.
    auto away = source.start([](const AudioSamples&) {}, [](std::string) {});
    EXPECT_FALSE(away.ok());
    EXPECT_FALSE(away.description.empty());
    EXPECT_EQ(log.sink().count("system audio stopped: ", true), 0);
    EXPECT_EQ(log.sink().count("system audio unavailable: ", true), 0);

    ASSERT_TRUE(server.restart()) << server.why();
    Recorder second;
    ASSERT_TRUE(source
                    .start([&](const AudioSamples& s) { second.samples(s); },
                           [&](std::string why) { second.stop(std::move(why)); })
                    .ok());
    std::unique_lock lock(second.mutex);
    EXPECT_TRUE(second.changed.wait_for(lock, 5s, [&] { return second.frames > 0; }));
    lock.unlock();
    source.stop();
}

TEST(PulseAudioSourceTests, NoSoundServerFailsTheStartAndSaysWhy) {
    test::CapturingLogSink::Scope log;
    PulseAudioSource::Options options;
    options.server = "unix:" + (fs::temp_directory_path() /
                                ("quelmix-no-pulse-" + std::to_string(getpid())) / "native")
                                   .string();
    PulseAudioSource source(options);
    bool called = false;
    auto status = source.start([&](const AudioSamples&) { called = true; },
                               [&](std::string) { called = true; });
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.kind, CaptureStatus::Kind::temporary);
    EXPECT_NE(status.description.find("sound server"), std::string::npos) << status.description;
    source.stop();
    EXPECT_FALSE(called);
    // A second attempt behaves the same and leaves nothing running.
    EXPECT_FALSE(source.start([](const AudioSamples&) {}, [](std::string) {}).ok());
}

}  // namespace
}  // namespace quelm
