#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "QuelmHostKit/codecs/AudioEncoder.hpp"
#include "QuelmHostKit/codecs/VideoEncoder.hpp"
#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/ServerHarness.hpp"
#include "tests/fakes/ToneAnalysis.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace quelm::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// A folder of its own for each test's files.
class CompanionToolTests : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("quelmix-companion-test-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        harness_.start();
    }
    void TearDown() override {
        companion_.reset();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Starts quelmix-companion against the harness with the secret and these options.
    void run(std::vector<std::string> extra, const std::string& token = ServerHarness::kToken) {
        std::vector<std::string> args{
            QUELM_COMPANION_BINARY,          "--host",  "127.0.0.1", "--port",
            std::to_string(harness_.port()), "--token", token};
        args.insert(args.end(), extra.begin(), extra.end());
        ChildProcess::Options options;
        options.stdoutFile = (folder_ / "out.txt").string();
        options.stderrFile = (folder_ / "err.txt").string();
        companion_ = std::make_unique<ChildProcess>(args, options);
        ASSERT_TRUE(companion_->started());
    }
    // Waits until the `n`th companion of the test became the active peer.
    bool connected(int n = 1) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto statuses = harness_.statuses();
            if (std::count_if(statuses.begin(), statuses.end(), [](const std::string& s) {
                    return s.starts_with("connected ");
                }) >= n) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    std::optional<int> exitStatus(double seconds = 15) { return companion_->wait(seconds); }
    std::string output() const {
        std::ifstream in(folder_ / "out.txt");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    int count(const std::string& call) const {
        auto calls = harness_.screen->calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }
    bool waitForCall(const std::string& call, double seconds = 5) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (count(call) > 0) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    fs::path folder_;
    ServerHarness harness_;
    std::unique_ptr<ChildProcess> companion_;
};

// Left half dark, right half light, no colour.
PixelBufferRef halves() {
    auto buffer = std::make_shared<PixelBuffer>(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            buffer->luma()[y * buffer->lumaStride() + x] = x < kWidth / 2 ? 50 : 200;
        }
    }
    std::fill(buffer->chroma(), buffer->chroma() + buffer->chromaStride() * buffer->chromaHeight(),
              128);
    return buffer;
}

std::vector<VideoFrame> encodeFrames(int count) {
    auto encoder = VideoEncoder::create(kWidth, kHeight, StreamConfig{1280, 2, 30});
    std::vector<VideoFrame> frames;
    if (!encoder) {
        ADD_FAILURE() << "no video encoder";
        return frames;
    }
    for (int i = 0; i < count; ++i) {
        std::promise<EncodeOutcome> done;
        encoder->encode(halves(), EncodeRequest{.forceKey = i == 0},
                        [&](EncodeOutcome o) { done.set_value(std::move(o)); });
        auto outcome = done.get_future().get();
        const auto* frame = std::get_if<EncodeOutcomes::Frame>(&outcome);
        if (frame == nullptr) {
            ADD_FAILURE() << "encode failed";
            return frames;
        }
        frames.push_back(VideoFrame{static_cast<std::uint32_t>(i + 1), kWidth, kHeight,
                                    frame->frame.isKey, frame->frame.parameterSets,
                                    frame->frame.payload});
    }
    return frames;
}

// The PNG's pixels as RGB24 rows, through FFmpeg's PNG decoder.
std::optional<std::vector<std::uint8_t>> readPng(const fs::path& path, int& width, int& height) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.empty()) {
        return std::nullopt;
    }
    const AVCodec* png = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* c = avcodec_alloc_context3(png);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::optional<std::vector<std::uint8_t>> rgb;
    if (avcodec_open2(c, png, nullptr) >= 0 &&
        av_new_packet(packet, static_cast<int>(bytes.size())) >= 0) {
        std::copy(bytes.begin(), bytes.end(), packet->data);
        if (avcodec_send_packet(c, packet) >= 0 && avcodec_receive_frame(c, frame) >= 0 &&
            frame->format == AV_PIX_FMT_RGB24) {
            width = frame->width;
            height = frame->height;
            rgb.emplace();
            for (int y = 0; y < height; ++y) {
                rgb->insert(rgb->end(), frame->data[0] + y * frame->linesize[0],
                            frame->data[0] + y * frame->linesize[0] + 3 * width);
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&c);
    return rgb;
}

// The left channel of a 16-bit stereo WAV file written by the companion.
std::vector<float> readWavLeft(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<float> left;
    for (std::size_t at = 44; at + 4 <= bytes.size(); at += 4) {
        auto sample = static_cast<std::int16_t>(bytes[at] | (bytes[at + 1] << 8));
        left.push_back(static_cast<float>(sample) / 32767.0f);
    }
    return left;
}

TEST_F(CompanionToolTests, DecodesVideoAndSoundAndWritesThemAsPngAndWav) {
    auto frames = encodeFrames(4);
    ASSERT_EQ(frames.size(), 4u);
    auto png = folder_ / "screen.png";
    auto wav = folder_ / "sound.wav";
    run({"--max-edge", "1280", "--fps", "30", "--bitrate", "2", "--audio", "128", "--png",
         png.string(), "--wav", wav.string(), "--duration", "3", "-v"});
    ASSERT_TRUE(connected());
    EXPECT_TRUE(waitForCall("start 1280x2x30"));
    ASSERT_TRUE(waitForCall("setAudio 128"));

    for (const auto& frame : frames) {
        ASSERT_TRUE(harness_.screen->deliverFrame(frame));
    }
    auto encoder = AudioEncoder::create(128);
    auto tone = ToneAnalysis::interleavedTone({1000.0, 1000.0}, 48000, 48000);
    for (std::size_t at = 0; at < tone.size(); at += 960) {
        std::span<const float> chunk(tone.data() + at,
                                     std::min<std::size_t>(960, tone.size() - at));
        if (auto packet = encoder->encode(AudioSamples{chunk, 48000, 2})) {
            ASSERT_TRUE(harness_.screen->deliverPacket(*packet));
        }
    }
    EXPECT_EQ(exitStatus(), 0) << output();

    // Every frame acknowledged; the companion's own pings are no stream calls.
    EXPECT_EQ(count("ack"), 4);
    auto text = output();
    EXPECT_NE(text.find("hello: {\"displayWidth\":1920"), std::string::npos) << text;
    EXPECT_NE(text.find("video seq=1 key=1 size=320x240"), std::string::npos) << text;
    EXPECT_NE(text.find("summary: frames=4 key=1 undecodable=0"), std::string::npos) << text;
    EXPECT_NE(text.find("audioCookies=1"), std::string::npos) << text;
    EXPECT_NE(text.find("frame=4 key=1"), std::string::npos) << "statistics line\n" << text;

    int width = 0, height = 0;
    auto rgb = readPng(png, width, height);
    ASSERT_TRUE(rgb) << "no readable PNG";
    ASSERT_EQ(width, kWidth);
    ASSERT_EQ(height, kHeight);
    // Luma 50 and 200 in video range are about 40 and 214 in RGB.
    auto pixel = [&](int x, int y, int c) { return int((*rgb)[(y * width + x) * 3 + c]); };
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(pixel(40, 120, c), 40, 8);
        EXPECT_NEAR(pixel(280, 120, c), 214, 8);
    }

    auto left = readWavLeft(wav);
    EXPECT_GT(left.size(), 40000u);
    EXPECT_NEAR(ToneAnalysis::frequency(left, 48000), 1000.0, 3.0);
}

TEST_F(CompanionToolTests, ScriptMessagesReachTheHostAndAcknowledgingCanStop) {
    auto frames = encodeFrames(3);
    auto script = folder_ / "script.jsonl";
    std::ofstream(script) << "# refresh, then a pointer move, then no more acks\n"
                             "{\"at\": 0.2, \"send\": {\"refresh\": {}}}\n"
                             "{\"after\": 0.1, \"send\": {\"move\": {\"dx\": 5, \"dy\": 0}}}\n"
                             "{\"after\": 0.1, \"ack\": false}\n";
    run({"--script", script.string(), "--duration", "2"});
    ASSERT_TRUE(connected());
    EXPECT_TRUE(waitForCall("keyFrame"));
    std::this_thread::sleep_for(500ms);
    for (const auto& frame : frames) {
        ASSERT_TRUE(harness_.screen->deliverFrame(frame));
    }
    EXPECT_EQ(exitStatus(), 0) << output();
    EXPECT_EQ(count("ack"), 0);
    auto inputs = harness_.input->messages();
    EXPECT_NE(std::find(inputs.begin(), inputs.end(), ClientMessage{ClientMessage::Move{5, 0}}),
              inputs.end());
}

TEST_F(CompanionToolTests, ExitStatusSaysWhatWentWrong) {
    // A wrong secret.
    run({"--duration", "5"}, "wrong");
    EXPECT_EQ(exitStatus(), 4) << output();
    EXPECT_NE(output().find("authentication failed"), std::string::npos);

    // Fewer frames than asked for within the time.
    run({"--frames", "3", "--duration", "1.5"});
    ASSERT_TRUE(connected());
    auto frames = encodeFrames(1);
    ASSERT_TRUE(harness_.screen->deliverFrame(frames[0]));
    EXPECT_EQ(exitStatus(), 7) << output();

    // The host reports a stream error. The run must last until it arrives, which under the
    // sanitizers' slowdown can take most of a second and a half after the start.
    run({"--duration", "3"});
    ASSERT_TRUE(connected(2));
    ASSERT_TRUE(harness_.screen->deliverError("captureStopped"));
    EXPECT_EQ(exitStatus(), 6) << output();
    EXPECT_NE(output().find("error: captureStopped"), std::string::npos);

    // A script that does not parse: nothing is started.
    std::ofstream(folder_ / "bad.jsonl") << "{\"at\": \"soon\", \"send\": {}}\n";
    run({"--script", (folder_ / "bad.jsonl").string()});
    EXPECT_EQ(exitStatus(), 2);

    // Nobody listening.
    std::vector<std::string> args{
        QUELM_COMPANION_BINARY, "--host", "127.0.0.1", "--port", "1", "--token", "x"};
    ChildProcess refused(args);
    EXPECT_EQ(refused.wait(10), 3);
}

TEST_F(CompanionToolTests, AConnectionUrlAndTheFramesOptionEndTheRunOnceEnoughArrived) {
    // The URL the host prints for local use carries the loopback address, port and secret.
    std::vector<std::string> args{
        QUELM_COMPANION_BINARY,
        "quelmix://127.0.0.1:" + std::to_string(harness_.port()) + "/#t=" + ServerHarness::kToken,
        "--frames",
        "2",
        "--png",
        (folder_ / "p.png").string()};
    ChildProcess::Options options;
    options.stdoutFile = (folder_ / "out.txt").string();
    companion_ = std::make_unique<ChildProcess>(args, options);
    ASSERT_TRUE(connected());
    for (const auto& frame : encodeFrames(2)) {
        ASSERT_TRUE(harness_.screen->deliverFrame(frame));
    }
    EXPECT_EQ(exitStatus(), 0) << output();
    EXPECT_TRUE(fs::exists(folder_ / "p.png"));
}

}  // namespace
}  // namespace quelm::test
