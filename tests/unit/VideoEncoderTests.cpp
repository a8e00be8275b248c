#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <optional>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "QuelmHostKit/codecs/VideoEncoder.hpp"
#include "tests/fakes/CapturingLogSink.hpp"

namespace quelm {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
const StreamConfig kConfig{.maxEdge = 1920, .bitrateMbps = 4, .fps = 30};

// A screen-like picture that moves with `t`: a gradient, a scrolling band of stripes and a
// square sliding across it.
PixelBufferRef movingPicture(int t, int width = kWidth, int height = kHeight) {
    auto buffer = std::make_shared<PixelBuffer>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int value = 40 + (x + y) * 150 / (width + height);
            if (y > height / 4 && y < height / 2) {
                value = ((x + 3 * t) / 6) % 2 ? 200 : 60;
            }
            const int left = (5 * t) % (width - 48);
            if (x >= left && x < left + 48 && y >= height / 2 + 10 && y < height / 2 + 58) {
                value = 230;
            }
            buffer->luma()[y * buffer->lumaStride() + x] = static_cast<std::uint8_t>(value);
        }
    }
    for (int y = 0; y < buffer->chromaHeight(); ++y) {
        for (int x = 0; x < width / 2; ++x) {
            auto* pair = buffer->chroma() + y * buffer->chromaStride() + 2 * x;
            pair[0] = static_cast<std::uint8_t>(100 + (x + t) % 50);
            pair[1] = static_cast<std::uint8_t>(150 - y % 40);
        }
    }
    return buffer;
}

EncodeOutcome encodeAndWait(VideoEncoding& encoder, PixelBufferRef picture, bool forceKey,
                            bool refinement = false) {
    std::promise<EncodeOutcome> result;
    encoder.encode(std::move(picture), {.forceKey = forceKey, .refinement = refinement},
                   [&result](EncodeOutcome outcome) { result.set_value(std::move(outcome)); });
    auto future = result.get_future();
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "no completion";
        return EncodeOutcomes::Dropped{};
    }
    return future.get();
}

EncodedFrame expectFrame(const EncodeOutcome& outcome) {
    const auto* frame = std::get_if<EncodeOutcomes::Frame>(&outcome);
    EXPECT_NE(frame, nullptr) << "outcome index " << outcome.index();
    return frame ? frame->frame : EncodedFrame{};
}

// NAL unit types of a payload, walking its 4-byte lengths; nothing when the walk overruns.
std::optional<std::vector<int>> unitTypes(const Bytes& payload) {
    std::vector<int> types;
    std::size_t at = 0;
    while (at < payload.size()) {
        if (payload.size() - at < 4) {
            return std::nullopt;
        }
        const std::size_t length = (std::size_t{payload[at]} << 24) |
                                   (std::size_t{payload[at + 1]} << 16) |
                                   (std::size_t{payload[at + 2]} << 8) | payload[at + 3];
        at += 4;
        if (length == 0 || length > payload.size() - at) {
            return std::nullopt;
        }
        types.push_back(payload[at] & 0x1F);
        at += length;
    }
    return types;
}

Bytes annexB(const EncodedFrame& frame) {
    static const Bytes startCode{0, 0, 0, 1};
    Bytes out;
    for (const auto& set : frame.parameterSets) {
        out.insert(out.end(), startCode.begin(), startCode.end());
        out.insert(out.end(), set.begin(), set.end());
    }
    const auto& payload = frame.payload;
    for (std::size_t at = 0; at + 4 <= payload.size();) {
        const std::size_t length = (std::size_t{payload[at]} << 24) |
                                   (std::size_t{payload[at + 1]} << 16) |
                                   (std::size_t{payload[at + 2]} << 8) | payload[at + 3];
        out.insert(out.end(), startCode.begin(), startCode.end());
        out.insert(out.end(), payload.begin() + at + 4, payload.begin() + at + 4 + length);
        at += 4 + length;
    }
    return out;
}

// FFmpeg's H.264 decoder, fed Annex B; keeps every decoded picture.
class Decoder {
  public:
    Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        opened_ = avcodec_open2(context_, codec, nullptr) == 0;
    }
    ~Decoder() {
        for (auto* frame : frames) {
            av_frame_free(&frame);
        }
        avcodec_free_context(&context_);
    }

    bool opened() const { return opened_; }

    bool decode(const Bytes& annexB) {
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, static_cast<int>(annexB.size()));
        std::copy(annexB.begin(), annexB.end(), packet->data);
        const bool sent = avcodec_send_packet(context_, packet) == 0;
        av_packet_free(&packet);
        drain();
        return sent;
    }
    void flush() {
        avcodec_send_packet(context_, nullptr);
        drain();
    }

    std::vector<AVFrame*> frames;

  private:
    void drain() {
        for (;;) {
            AVFrame* frame = av_frame_alloc();
            if (avcodec_receive_frame(context_, frame) != 0) {
                av_frame_free(&frame);
                return;
            }
            frames.push_back(frame);
        }
    }

    AVCodecContext* context_ = nullptr;
    bool opened_ = false;
};

double psnr(double squaredError, std::size_t samples) {
    const double mse = squaredError / static_cast<double>(samples);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Luma and chroma PSNR of a decoded 4:2:0 picture against the NV12 source.
std::pair<double, double> compare(const PixelBuffer& source, const AVFrame& decoded) {
    double lumaError = 0;
    for (int y = 0; y < source.height(); ++y) {
        for (int x = 0; x < source.width(); ++x) {
            const double d = source.luma()[y * source.lumaStride() + x] -
                             decoded.data[0][y * decoded.linesize[0] + x];
            lumaError += d * d;
        }
    }
    double chromaError = 0;
    for (int y = 0; y < source.chromaHeight(); ++y) {
        for (int x = 0; x < source.width() / 2; ++x) {
            const auto* pair = source.chroma() + y * source.chromaStride() + 2 * x;
            const double du = pair[0] - decoded.data[1][y * decoded.linesize[1] + x];
            const double dv = pair[1] - decoded.data[2][y * decoded.linesize[2] + x];
            chromaError += du * du + dv * dv;
        }
    }
    const std::size_t chromaSamples = 2u * source.chromaHeight() * (source.width() / 2);
    return {psnr(lumaError, std::size_t(source.width()) * source.height()),
            psnr(chromaError, chromaSamples)};
}

TEST(VideoEncoder, MovingPicturesDecodeCloseToTheInputInBt709VideoRange) {
    auto encoder = VideoEncoder::factory()(kWidth, kHeight, kConfig);
    ASSERT_NE(encoder, nullptr);
    Decoder decoder;
    ASSERT_TRUE(decoder.opened());

    constexpr int kFrames = 45;
    std::vector<PixelBufferRef> sources;
    for (int t = 0; t < kFrames; ++t) {
        sources.push_back(movingPicture(t));
        const auto frame = expectFrame(encodeAndWait(*encoder, sources.back(), t == 0));
        // Key frames only when asked for: the first, and no periodic ones.
        EXPECT_EQ(frame.isKey, t == 0) << "frame " << t;
        ASSERT_TRUE(decoder.decode(annexB(frame))) << "frame " << t;
    }
    decoder.flush();

    ASSERT_EQ(decoder.frames.size(), sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const AVFrame& decoded = *decoder.frames[i];
        ASSERT_EQ(decoded.width, kWidth);
        ASSERT_EQ(decoded.height, kHeight);
        ASSERT_EQ(decoded.format, AV_PIX_FMT_YUV420P);
        const auto [luma, chroma] = compare(*sources[i], decoded);
        EXPECT_GT(luma, 30.0) << "frame " << i;
        EXPECT_GT(chroma, 30.0) << "frame " << i;
    }
    const AVFrame& first = *decoder.frames.front();
    EXPECT_EQ(first.color_primaries, AVCOL_PRI_BT709);
    EXPECT_EQ(first.color_trc, AVCOL_TRC_BT709);
    EXPECT_EQ(first.colorspace, AVCOL_SPC_BT709);
    EXPECT_EQ(first.color_range, AVCOL_RANGE_MPEG);
}

TEST(VideoEncoder, ForcedKeyFrameIsAnIdrWithConstrainedHighParameterSets) {
    auto encoder = VideoEncoder::create(kWidth, kHeight, kConfig);
    ASSERT_NE(encoder, nullptr);

    for (int t = 0; t < 6; ++t) {
        const bool forceKey = t == 0 || t == 4;
        const auto frame = expectFrame(encodeAndWait(*encoder, movingPicture(t), forceKey));
        const auto types = unitTypes(frame.payload);
        ASSERT_TRUE(types.has_value()) << "payload not length-prefixed, frame " << t;
        ASSERT_FALSE(types->empty());
        // Parameter sets travel beside the payload, never inside it.
        for (const int type : *types) {
            EXPECT_TRUE(type != 7 && type != 8) << "frame " << t;
        }
        if (!forceKey) {
            EXPECT_FALSE(frame.isKey) << "frame " << t;
            EXPECT_TRUE(frame.parameterSets.empty()) << "frame " << t;
            EXPECT_EQ(std::count(types->begin(), types->end(), 5), 0) << "frame " << t;
            continue;
        }
        EXPECT_TRUE(frame.isKey) << "frame " << t;
        EXPECT_GT(std::count(types->begin(), types->end(), 5), 0) << "IDR slice, frame " << t;
        ASSERT_EQ(frame.parameterSets.size(), 2u);
        const Bytes& sps = frame.parameterSets[0];
        const Bytes& pps = frame.parameterSets[1];
        ASSERT_GE(sps.size(), 4u);
        ASSERT_FALSE(pps.empty());
        EXPECT_EQ(sps[0] & 0x1F, 7);
        EXPECT_EQ(pps[0] & 0x1F, 8);
        EXPECT_EQ(sps[1], 100) << "profile_idc High";
        EXPECT_EQ(sps[2] & 0x0C, 0x0C) << "constraint_set4 and constraint_set5";
    }
}

TEST(VideoEncoder, EveryCompletionRunsExactlyOnceThroughBurstsAndInvalidation) {
    auto encoder = VideoEncoder::create(kWidth, kHeight, kConfig);
    ASSERT_NE(encoder, nullptr);
    constexpr int kSubmissions = 8;
    std::vector<std::atomic<int>> calls(kSubmissions);
    std::vector<std::optional<EncodeOutcome>> outcomes(kSubmissions);
    std::promise<void> firstDone;
    const auto picture = movingPicture(0);
    for (int i = 0; i < kSubmissions; ++i) {
        encoder->encode(picture, {.forceKey = i == 0}, [&, i](EncodeOutcome outcome) {
            outcomes[i] = std::move(outcome);
            if (++calls[i] == 1 && i == 0) {
                firstDone.set_value();
            }
        });
    }
    ASSERT_EQ(firstDone.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    encoder->invalidate();  // joins the worker: nothing may still be outstanding afterwards
    int frames = 0;
    for (int i = 0; i < kSubmissions; ++i) {
        EXPECT_EQ(calls[i].load(), 1) << "submission " << i;
        ASSERT_TRUE(outcomes[i].has_value());
        if (const auto* failed = std::get_if<EncodeOutcomes::Failed>(&*outcomes[i])) {
            EXPECT_EQ(failed->status, kEncoderInvalidSession);
        }
        frames += std::holds_alternative<EncodeOutcomes::Frame>(*outcomes[i]) ? 1 : 0;
    }
    EXPECT_GE(frames, 1);
    encoder.reset();
    for (int i = 0; i < kSubmissions; ++i) {
        EXPECT_EQ(calls[i].load(), 1) << "submission " << i;
    }
}

TEST(VideoEncoder, RefusedEncodesCompleteBeforeEncodeReturns) {
    auto encoder = VideoEncoder::create(kWidth, kHeight, kConfig);
    ASSERT_NE(encoder, nullptr);
    struct Case {
        const char* name;
        PixelBufferRef picture;
        bool invalidateFirst;
        std::int32_t status;
    };
    const Case cases[] = {
        {"wrong size", movingPicture(0, kWidth / 2, kHeight / 2), false, kEncoderBadPicture},
        {"no picture", nullptr, false, kEncoderBadPicture},
        {"after invalidate", movingPicture(0), true, kEncoderInvalidSession},
    };
    for (const auto& c : cases) {
        if (c.invalidateFirst) {
            encoder->invalidate();
        }
        std::optional<EncodeOutcome> outcome;
        encoder->encode(c.picture, {.forceKey = true},
                        [&](EncodeOutcome o) { outcome = std::move(o); });
        ASSERT_TRUE(outcome.has_value()) << c.name;
        const auto* failed = std::get_if<EncodeOutcomes::Failed>(&*outcome);
        ASSERT_NE(failed, nullptr) << c.name;
        EXPECT_EQ(failed->status, c.status) << c.name;
    }
}

TEST(VideoEncoder, InvalidateFromInsideACompletionDoesNotDeadlock) {
    auto encoder = VideoEncoder::create(kWidth, kHeight, kConfig);
    ASSERT_NE(encoder, nullptr);
    std::promise<bool> done;
    encoder->encode(movingPicture(0), {.forceKey = true}, [&](EncodeOutcome outcome) {
        encoder->invalidate();
        done.set_value(std::holds_alternative<EncodeOutcomes::Frame>(outcome));
    });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(future.get());
    const auto after = encodeAndWait(*encoder, movingPicture(1), false);
    ASSERT_TRUE(std::holds_alternative<EncodeOutcomes::Failed>(after));
    EXPECT_EQ(std::get<EncodeOutcomes::Failed>(after).status, kEncoderInvalidSession);
    encoder.reset();
}

TEST(VideoEncoder, FallsBackToAPlainerSetupThatSaysWhatItProduces) {
    test::CapturingLogSink::Scope log;
    auto setups = VideoEncoder::defaultSetups();
    ASSERT_EQ(setups.size(), 2u);
    setups.front().preset = "no-such-preset";
    // Genuinely simpler: nothing of the first setup's tuning, tools or slicing.
    const auto& plain = setups.back();
    EXPECT_TRUE(plain.tune.empty());
    EXPECT_TRUE(plain.tools.empty());
    EXPECT_EQ(plain.threads, 1);
    EXPECT_FALSE(plain.slicedThreads);

    auto encoder = VideoEncoder::create(kWidth, kHeight, kConfig, setups);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(log.sink().count("H.264 encoder setup failed (-1), trying a simpler setup"), 1);
    EXPECT_EQ(
        log.sink().count("H.264 encoder uses the simpler setup: Constrained Baseline profile"), 1);

    Decoder decoder;
    for (int t = 0; t < 3; ++t) {
        const auto frame = expectFrame(encodeAndWait(*encoder, movingPicture(t), t == 0));
        EXPECT_EQ(frame.isKey, t == 0);
        if (t == 0) {
            // The stream is what the log line says: profile_idc 66 with constraint_set0 and
            // constraint_set1, and none of the High marks.
            ASSERT_EQ(frame.parameterSets.size(), 2u);
            const Bytes& sps = frame.parameterSets[0];
            ASSERT_GE(sps.size(), 4u);
            EXPECT_EQ(sps[1], 66) << "profile_idc";
            EXPECT_EQ(sps[2] & 0xC0, 0xC0) << "constraint_set0 and constraint_set1";
            EXPECT_EQ(sps[2] & 0x0C, 0) << "no constraint_set4 or constraint_set5";
            EXPECT_EQ(VideoEncoder::profileName(sps), "Constrained Baseline");
        }
        ASSERT_TRUE(decoder.decode(annexB(frame))) << "frame " << t;
    }
    decoder.flush();
    EXPECT_EQ(decoder.frames.size(), 3u);
}

TEST(VideoEncoder, DefaultSetupProducesConstrainedHighWithoutAFallbackLine) {
    test::CapturingLogSink::Scope log;
    auto encoder = VideoEncoder::create(kWidth, kHeight, kConfig);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(log.sink().count("H.264 encoder uses the simpler setup", true), 0);
    const auto frame = expectFrame(encodeAndWait(*encoder, movingPicture(0), true));
    ASSERT_FALSE(frame.parameterSets.empty());
    EXPECT_EQ(VideoEncoder::profileName(frame.parameterSets[0]), "Constrained High");
}

// A still picture sent again as refinements must come out finer each time, right after a key
// frame too, where rate control alone answers with empty frames.
TEST(VideoEncoder, RefinementsSharpenAStillPictureAfterAKeyFrame) {
    static constexpr int kSide = 320;
    const StreamConfig lean{.maxEdge = 1920, .bitrateMbps = 0.5, .fps = 30};
    // Fine text-like detail that a coarse quantiser smears, scrolled by `shift` rows.
    auto detailed = [](int shift) {
        auto picture = std::make_shared<PixelBuffer>(kSide, kSide);
        for (int y = 0; y < kSide; ++y) {
            const int row = y + shift;
            for (int x = 0; x < kSide; ++x) {
                const unsigned h = (unsigned(x) * 2654435761u) ^ (unsigned(row) * 40503u);
                picture->luma()[y * picture->lumaStride() + x] = static_cast<std::uint8_t>(
                    (row % 12 < 9 && (h >> 13) % 3 == 0) ? 40 : 200 - y / 4);
            }
        }
        std::fill(picture->chroma(),
                  picture->chroma() + picture->chromaHeight() * picture->chromaStride(),
                  std::uint8_t{128});
        return picture;
    };
    const auto still = detailed(0);

    for (const bool midStream : {false, true}) {
        auto encoder = VideoEncoder::create(kSide, kSide, lean);
        ASSERT_NE(encoder, nullptr);
        Decoder decoder;
        std::vector<PixelBufferRef> sources;
        if (midStream) {
            for (int t = 0; t < 10; ++t) {
                sources.push_back(detailed(10 - t));
                ASSERT_TRUE(decoder.decode(
                    annexB(expectFrame(encodeAndWait(*encoder, sources.back(), t == 0)))));
            }
        }
        for (int pass = 0; pass <= 3; ++pass) {
            const auto frame = expectFrame(encodeAndWait(*encoder, still, pass == 0, pass > 0));
            EXPECT_EQ(frame.isKey, pass == 0);
            ASSERT_TRUE(decoder.decode(annexB(frame)));
            sources.push_back(still);
        }
        decoder.flush();
        ASSERT_EQ(decoder.frames.size(), sources.size());
        const std::size_t key = sources.size() - 4;
        std::vector<double> psnr;
        for (std::size_t i = key; i < sources.size(); ++i) {
            psnr.push_back(compare(*sources[i], *decoder.frames[i]).first);
        }
        for (std::size_t i = 1; i < psnr.size(); ++i) {
            EXPECT_GT(psnr[i], psnr[i - 1] + 0.5)
                << "refinement " << i << ", mid-stream " << midStream;
        }
        EXPECT_GT(psnr.back(), psnr.front() + 4.0) << "mid-stream " << midStream;
    }
}

// A photograph-like texture: smooth value noise over six octaves, detail down to the pixel.
PixelBufferRef photograph(int width, int height) {
    auto hash = [](int x, int y, int octave) {
        std::uint32_t h = unsigned(x) * 73856093u ^ unsigned(y) * 19349663u ^ unsigned(octave);
        h ^= h >> 16;
        h *= 0x7feb352dU;
        h ^= h >> 15;
        return (h & 0xFFFF) / 65535.0;
    };
    auto noise = [&](double x, double y, int octave) {
        const int xi = static_cast<int>(std::floor(x));
        const int yi = static_cast<int>(std::floor(y));
        const double fx = x - xi, fy = y - yi;
        const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
        const double top =
            hash(xi, yi, octave) + (hash(xi + 1, yi, octave) - hash(xi, yi, octave)) * sx;
        const double bottom = hash(xi, yi + 1, octave) +
                              (hash(xi + 1, yi + 1, octave) - hash(xi, yi + 1, octave)) * sx;
        return top + (bottom - top) * sy;
    };
    auto picture = std::make_shared<PixelBuffer>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double value = 0, amplitude = 0.5, frequency = 1 / 48.0;
            for (int octave = 0; octave < 6; ++octave) {
                value += amplitude * noise(x * frequency, y * frequency, octave);
                amplitude *= 0.6;
                frequency *= 2.3;
            }
            picture->luma()[y * picture->lumaStride() + x] =
                static_cast<std::uint8_t>(std::clamp(value * 380 - 60, 16.0, 235.0));
        }
    }
    for (int y = 0; y < picture->chromaHeight(); ++y) {
        for (int x = 0; x < width / 2; ++x) {
            auto* pair = picture->chroma() + y * picture->chromaStride() + 2 * x;
            pair[0] = static_cast<std::uint8_t>(100 + 60 * noise(x / 20.0, y / 20.0, 7));
            pair[1] = static_cast<std::uint8_t>(100 + 60 * noise(x / 16.0, y / 16.0, 9));
        }
    }
    return picture;
}

std::size_t frameBytes(const EncodedFrame& frame) {
    std::size_t bytes = frame.payload.size();
    for (const auto& set : frame.parameterSets) {
        bytes += set.size();
    }
    return bytes;
}

// Whatever the rate, a key frame of a detailed screen fits its stretch of the link, the first
// one, one forced after refinements reached a fine quantiser, and one of new content; the
// refinements then bring the picture up within the same budget each.
TEST(VideoEncoder, KeyFramesFitTheLinkAndRefinementsSharpenThem) {
    constexpr int kW = 960;
    constexpr int kH = 540;
    const auto still = photograph(kW, kH);
    const auto other = photograph(kW + 64, kH);
    auto shifted = std::make_shared<PixelBuffer>(kW, kH);
    for (int y = 0; y < kH; ++y) {
        std::copy_n(other->luma() + y * other->lumaStride() + 64, kW,
                    shifted->luma() + y * shifted->lumaStride());
    }
    std::copy_n(still->chroma(), still->chromaHeight() * still->chromaStride(), shifted->chroma());

    for (const double mbps : {1.0, 3.0, 8.0}) {
        SCOPED_TRACE(testing::Message() << mbps << " Mbit/s");
        const StreamConfig config{.maxEdge = 1920, .bitrateMbps = mbps, .fps = 30};
        const std::size_t keyBudget = VideoEncoder::frameBudgetBytes(mbps);
        const std::size_t refinementBudget =
            VideoEncoder::frameBudgetBytes(mbps, VideoEncoder::refinementBudgetSeconds);
        auto encoder = VideoEncoder::create(kW, kH, config);
        ASSERT_NE(encoder, nullptr);
        Decoder decoder;
        std::vector<PixelBufferRef> sources;
        auto send = [&](const PixelBufferRef& picture, bool key, bool refinement) {
            const auto frame = expectFrame(encodeAndWait(*encoder, picture, key, refinement));
            EXPECT_EQ(frame.isKey, key);
            EXPECT_LE(frameBytes(frame), key ? keyBudget : refinementBudget)
                << "frame " << sources.size();
            EXPECT_TRUE(decoder.decode(annexB(frame)));
            sources.push_back(picture);
        };
        send(still, true, false);
        for (int pass = 0; pass < 3; ++pass) {
            send(still, false, true);
        }
        send(still, true, false);  // after the refinements went fine
        send(shifted, true, false);
        decoder.flush();
        ASSERT_EQ(decoder.frames.size(), sources.size());
        std::vector<double> psnr;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            psnr.push_back(compare(*sources[i], *decoder.frames[i]).first);
        }
        EXPECT_GT(psnr[3], psnr[0] + 2.0) << "refinements sharpen the key frame";
        EXPECT_GT(psnr[2], psnr[1]);
    }
}

// After a long spell of tiny changes (a blinking caret) and the refinements after each, the
// next whole-screen change came out at a quantiser the saved bits allowed, over the budget. Now
// the encoder either fits it or sends it as a key frame that fits.
TEST(VideoEncoder, AChangeAfterAStillSpellStaysNearTheBudget) {
    constexpr int kW = 960;
    constexpr int kH = 540;
    const double mbps = 3.0;
    const auto still = photograph(kW, kH);
    auto encoder = VideoEncoder::create(kW, kH, {.maxEdge = 1920, .bitrateMbps = mbps, .fps = 30});
    ASSERT_NE(encoder, nullptr);
    Decoder decoder;
    auto send = [&](const PixelBufferRef& picture, bool key, bool refinement) {
        const auto frame = expectFrame(encodeAndWait(*encoder, picture, key, refinement));
        EXPECT_TRUE(decoder.decode(annexB(frame)));
        return frame;
    };
    send(still, true, false);
    for (int blink = 0; blink < 20; ++blink) {
        auto caret = std::make_shared<PixelBuffer>(*still);
        for (int y = 200; y < 216; ++y) {
            std::fill_n(caret->luma() + y * caret->lumaStride() + 300, 2, blink % 2 ? 235 : 16);
        }
        if (blink >= 14) {  // the last blinks at their real pace
            std::this_thread::sleep_for(std::chrono::milliseconds(260));
        }
        send(caret, false, false);
        for (int pass = 0; pass < 3; ++pass) {
            send(caret, false, true);
        }
    }
    // New content that no motion search finds in the old: the picture upside down.
    auto changed = std::make_shared<PixelBuffer>(kW, kH);
    for (int y = 0; y < kH; ++y) {
        std::copy_n(still->luma() + (kH - 1 - y) * still->lumaStride(), kW,
                    changed->luma() + y * changed->lumaStride());
    }
    std::copy_n(still->chroma(), still->chromaHeight() * still->chromaStride(), changed->chroma());
    // A caret blinks twice a second: the change comes after a pause, when the link is idle.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto frame = send(changed, false, false);
    EXPECT_LE(frameBytes(frame), VideoEncoder::frameBudgetBytes(mbps));
    // Whether it came as a key frame or not, the decoder shows the new picture.
    decoder.flush();
    ASSERT_FALSE(decoder.frames.empty());
    EXPECT_GT(compare(*changed, *decoder.frames.back()).first, 25.0);
}

// A page of text-like glyphs, `top` rows further down an endless page.
PixelBufferRef textPage(int width, int height, int top) {
    auto picture = std::make_shared<PixelBuffer>(width, height);
    for (int y = 0; y < height; ++y) {
        const int line = (y + top) / 18;
        const int row = (y + top) % 18;
        for (int x = 0; x < width; ++x) {
            std::uint32_t h = unsigned(x / 9) * 2654435761u ^ unsigned(line) * 40503u;
            h ^= h >> 13;
            h *= 0x5bd1e995u;
            h ^= h >> 15;
            // Letters of 2x3-pixel strokes on a 3x4 grid, seven pixels wide, twelve high.
            const bool ink = (h & 7) != 0 && row >= 3 && row < 15 && x % 9 < 6 &&
                             ((h >> (3 + (x % 9) / 2 * 4 + (row - 3) / 3)) & 1) != 0;
            picture->luma()[y * picture->lumaStride() + x] = ink ? 40 : 225;
        }
    }
    std::fill_n(picture->chroma(), picture->chromaHeight() * picture->chromaStride(), 128);
    return picture;
}

TEST(VideoEncoder, AFastScrollIsCodedAsMovedContent) {
    constexpr int kW = 960;
    constexpr int kH = 540;
    const double mbps = 8.0;
    // Two lines a frame at 30 frames a second, and nine: the same scroll on a link that lets
    // few frames through. The old lines only move and the new ones come in; coded anew, the
    // first scroll costs a key frame and the next ones blur the page.
    const struct {
        int rows;
        double firstShare;  // of the key frame, at most, for the first scrolled frame
        double lossDb;      // at most, in any scrolled frame against the key frame
    } cases[] = {{36, 0.25, 1.0}, {160, 0.5, 3.0}};
    for (const auto& [rows, firstShare, lossDb] : cases) {
        auto encoder =
            VideoEncoder::create(kW, kH, {.maxEdge = 1920, .bitrateMbps = mbps, .fps = 30});
        ASSERT_NE(encoder, nullptr);
        Decoder decoder;
        const auto key = expectFrame(encodeAndWait(*encoder, textPage(kW, kH, 0), true));
        ASSERT_TRUE(decoder.decode(annexB(key)));
        ASSERT_FALSE(decoder.frames.empty());
        const double keyDb = compare(*textPage(kW, kH, 0), *decoder.frames.back()).first;
        std::size_t first = 0;
        double worst = 99;
        for (int frame = 1; frame <= 8; ++frame) {
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
            const auto page = textPage(kW, kH, rows * frame);
            const auto moved = expectFrame(encodeAndWait(*encoder, page, false));
            ASSERT_TRUE(decoder.decode(annexB(moved)));
            ASSERT_FALSE(decoder.frames.empty());
            first = first ? first : frameBytes(moved);
            worst = std::min(worst, compare(*page, *decoder.frames.back()).first);
        }
        EXPECT_LT(double(first), firstShare * double(frameBytes(key))) << rows << " rows a frame";
        EXPECT_GT(worst, keyDb - lossDb) << rows << " rows a frame";
    }
}

TEST(VideoEncoder, NoEncoderWhenNoSetupCanOpenTheSize) {
    // 4:2:0 needs even, non-empty sizes.
    const std::pair<int, int> sizes[] = {
        {kWidth + 1, kHeight}, {kWidth, kHeight - 1}, {0, kHeight}};
    for (const auto& [width, height] : sizes) {
        test::CapturingLogSink::Scope log;
        EXPECT_EQ(VideoEncoder::create(width, height, kConfig), nullptr) << width << "x" << height;
        EXPECT_EQ(log.sink().count("H.264 encoder setup failed (", true), 1);
    }
}

TEST(VideoEncoderRewriteLengths, ConvertsShortPrefixesOrRefuses) {
    struct Case {
        const char* name;
        Bytes input;
        int from;
        std::optional<Bytes> expected;
    };
    const Case cases[] = {
        {"two-byte prefix", {0, 3, 0x41, 0x42, 0x43}, 2, Bytes{0, 0, 0, 3, 0x41, 0x42, 0x43}},
        {"zero-length unit", {0}, 1, Bytes{0, 0, 0, 0}},
        {"one-byte prefixes, two units",
         {1, 0xAA, 2, 0xBB, 0xCC},
         1,
         Bytes{0, 0, 0, 1, 0xAA, 0, 0, 0, 2, 0xBB, 0xCC}},
        {"three-byte prefix", {0, 1, 0, 0x11}, 3, std::nullopt},  // length 256 overruns
        {"three-byte prefix fits", {0, 0, 2, 0x11, 0x22}, 3, Bytes{0, 0, 0, 2, 0x11, 0x22}},
        {"empty input", {}, 2, Bytes{}},
        {"length overruns the end", {0, 4, 0x41}, 2, std::nullopt},
        {"truncated length field", {0, 1, 0x41, 0}, 2, std::nullopt},
        {"four-byte prefix", {0, 0, 0, 1, 0x41}, 4, std::nullopt},
        {"zero-byte prefix", {0x41}, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VideoEncoder::rewriteLengths(c.input, c.from), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace quelm
