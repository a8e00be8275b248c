// Encode time, produced bit rate, key frame size and picture quality of the host's H.264
// encoder on moving screen-like content, beside FFmpeg's libx264 wrapper on the same pictures;
// then how a still picture sharpens over three refinements after a key frame.
// Usage: VideoEncoderBench [frames]   (default 300: ten seconds at 30 fps, in real time)
//        VideoEncoderBench setups [frames]   (default 600: ten seconds at 60 fps)
// The second form compares ways of opening the encoder on what bench/stream-figures.sh shows
// (quelmix-motion's scrolling texture, 1920x1080, 60 fps, 10 Mbit/s): CPU per picture (all
// threads, key frames the encoder chose included), bit rate and luma PSNR of the decoded stream.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "QuelmHostKit/codecs/ScrollDetector.hpp"
#include "QuelmHostKit/codecs/VideoEncoder.hpp"
#include "QuelmHostKit/streaming/Nv12Converter.hpp"

namespace {

using quelm::Bytes;
using quelm::PixelBuffer;
using quelm::PixelBufferRef;

constexpr int kFps = 30;
constexpr double kMbps = 6.0;

std::uint32_t mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// A desktop-like scene: a still gradient, a panel of text-like glyphs scrolling 4 rows per
// frame, a 256-pixel gradient square sliding across, and a "video" window of changing
// plasma in the lower right. About two thirds of the screen moves.
class Scene {
  public:
    Scene(int width, int height, int scrollRows = 4)
        : width_(width),
          height_(height),
          scrollRows_(scrollRows),
          background_(std::size_t(width) * height),
          page_(std::size_t(width) * height * 2) {
        for (int y = 0; y < height; ++y) {
            std::memset(&background_[std::size_t(y) * width], 60 + 100 * y / height, width);
        }
        for (int y = 0; y < 2 * height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::uint32_t glyph = mix((y / 16) * 4099U + x / 9);
                const int gx = x % 9;
                const int gy = y % 16;
                const bool ink = (glyph & 7) != 0 && gy >= 3 && gy < 14 && gx < 7 &&
                                 (mix(glyph + gy * 7 + gx) & 3) == 0;
                page_[std::size_t(y) * width + x] = ink ? 30 : 230;
            }
        }
    }

    void draw(int t, PixelBuffer& picture) const {
        const int panelLeft = width_ / 8;
        const int panelWidth = width_ / 2;
        for (int y = 0; y < height_; ++y) {
            std::uint8_t* row = picture.luma() + std::size_t(y) * picture.lumaStride();
            std::memcpy(row, &background_[std::size_t(y) * width_], width_);
            if (y > height_ / 10 && y < height_ * 9 / 10) {
                const int source = (y + scrollRows_ * t) % (2 * height_);
                std::memcpy(row + panelLeft, &page_[std::size_t(source) * width_ + panelLeft],
                            panelWidth);
            }
        }
        const int left = (16 * t) % (width_ - 256);
        const int top = height_ / 3 + static_cast<int>(100 * std::sin(t * 0.1));
        for (int y = 0; y < 256; ++y) {
            std::uint8_t* row = picture.luma() + std::size_t(top + y) * picture.lumaStride();
            for (int x = 0; x < 256; ++x) {
                row[left + x] = static_cast<std::uint8_t>(16 + (x + y) * 219 / 510);
            }
        }
        const int videoLeft = width_ * 5 / 8 + 16;
        const int videoTop = height_ / 2;
        const double phase = t * 0.15;
        for (int y = videoTop; y < height_ - 16; ++y) {
            std::uint8_t* row = picture.luma() + std::size_t(y) * picture.lumaStride();
            const double wave = std::sin(y * 0.031 + phase);
            for (int x = videoLeft; x < width_ - 16; ++x) {
                const double v = wave + std::sin(x * 0.023 - phase * 1.3) +
                                 std::sin((x + y) * 0.011 + phase * 0.7);
                row[x] = static_cast<std::uint8_t>(126 + 36 * v + (mix(x * 7919U + y) & 7));
            }
        }
        for (int y = 0; y < picture.chromaHeight(); ++y) {
            std::uint8_t* row = picture.chroma() + std::size_t(y) * picture.chromaStride();
            for (int x = 0; x < width_ / 2; ++x) {
                row[2 * x] = static_cast<std::uint8_t>(128 + x * 40 / width_);
                row[2 * x + 1] = static_cast<std::uint8_t>(128 - y * 40 / height_);
            }
        }
    }

  private:
    int width_;
    int height_;
    int scrollRows_;
    std::vector<std::uint8_t> background_;
    std::vector<std::uint8_t> page_;
};

// quelmix-motion's picture: coloured 64x48 tiles with fine noise, twice as wide as the screen,
// scrolled 8 pixels a frame. Converted once; each frame is a window into it.
class ScrollingTexture {
  public:
    ScrollingTexture(int width, int height) : width_(width), texture_(2 * width, height) {
        const int textureWidth = 2 * width;
        std::vector<std::uint8_t> bgrx(std::size_t(textureWidth) * height * 4);
        std::uint32_t state = 7;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < textureWidth; ++x) {
                const unsigned tile = static_cast<unsigned>((x / 64) * 31 + (y / 48) * 17);
                state = state * 1664525U + 1013904223U;
                const unsigned noise = (state >> 24) & 0x1F;
                std::uint8_t* p = &bgrx[(std::size_t(y) * textureWidth + x) * 4];
                p[0] = static_cast<std::uint8_t>((tile * 53 + noise) & 0xFF);
                p[1] = static_cast<std::uint8_t>((tile * 97 + x / 4 + noise) & 0xFF);
                p[2] = static_cast<std::uint8_t>((tile * 29 + y / 4 + noise) & 0xFF);
                p[3] = 0;
            }
        }
        quelm::Nv12Converter().convert({bgrx.data(), textureWidth, height, textureWidth * 4},
                                       texture_);
    }

    void draw(int t, PixelBuffer& picture) const {
        const int offset = (t * 8) % width_;
        for (int y = 0; y < picture.height(); ++y) {
            std::memcpy(picture.luma() + std::size_t(y) * picture.lumaStride(),
                        texture_.luma() + std::size_t(y) * texture_.lumaStride() + offset, width_);
        }
        for (int y = 0; y < picture.chromaHeight(); ++y) {
            std::memcpy(picture.chroma() + std::size_t(y) * picture.chromaStride(),
                        texture_.chroma() + std::size_t(y) * texture_.chromaStride() + offset,
                        width_);
        }
    }

  private:
    int width_;
    PixelBuffer texture_;
};

// One encoded picture in Annex B, for the decoder.
struct Encoded {
    Bytes annexB;
    std::size_t bytes = 0;  // as sent: payload plus parameter sets
    bool isKey = false;
};

// Luma PSNR of what FFmpeg's decoder makes of the stream, against the source pictures.
class QualityMeter {
  public:
    QualityMeter() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        avcodec_open2(context_, codec, nullptr);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~QualityMeter() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
    }

    void add(const Encoded& encoded, const PixelBuffer& source) {
        av_new_packet(packet_, static_cast<int>(encoded.annexB.size()));
        std::memcpy(packet_->data, encoded.annexB.data(), encoded.annexB.size());
        avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        while (avcodec_receive_frame(context_, frame_) == 0) {
            double error = 0;
            for (int y = 0; y < source.height(); ++y) {
                const std::uint8_t* a = source.luma() + std::size_t(y) * source.lumaStride();
                const std::uint8_t* b = frame_->data[0] + std::size_t(y) * frame_->linesize[0];
                for (int x = 0; x < source.width(); ++x) {
                    const double d = double(a[x]) - b[x];
                    error += d * d;
                }
            }
            const double mse = error / (double(source.width()) * source.height());
            last_ = mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
            total_ += last_;
            ++count_;
        }
    }
    double average() const { return count_ ? total_ / count_ : 0; }
    // PSNR of the last picture decoded.
    double last() const { return last_; }

  private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    double total_ = 0;
    double last_ = 0;
    int count_ = 0;
};

// Encodes one picture, forcing a key frame when asked; nothing on failure.
using EncodeOne =
    std::function<bool(const PixelBufferRef&, bool forceKey, bool refinement, Encoded&)>;

void appendUnit(Bytes& out, const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t startCode[] = {0, 0, 0, 1};
    out.insert(out.end(), startCode, startCode + 4);
    out.insert(out.end(), data, data + size);
}

EncodeOne hostEncoder(int width, int height, const std::vector<quelm::VideoEncoder::Setup>& setups,
                      double mbps = kMbps, int fps = kFps) {
    const quelm::StreamConfig config{
        .maxEdge = std::max(width, height), .bitrateMbps = mbps, .fps = fps};
    std::shared_ptr<quelm::VideoEncoder> encoder =
        quelm::VideoEncoder::create(width, height, config, setups);
    if (!encoder) {
        return nullptr;
    }
    return [encoder](const PixelBufferRef& picture, bool forceKey, bool refinement, Encoded& out) {
        std::promise<quelm::EncodeOutcome> result;
        encoder->encode(
            picture, {.forceKey = forceKey, .refinement = refinement},
            [&](quelm::EncodeOutcome outcome) { result.set_value(std::move(outcome)); });
        const auto outcome = result.get_future().get();
        const auto* frame = std::get_if<quelm::EncodeOutcomes::Frame>(&outcome);
        if (!frame) {
            return false;
        }
        out = Encoded{};
        out.isKey = frame->frame.isKey;
        for (const auto& set : frame->frame.parameterSets) {
            appendUnit(out.annexB, set.data(), set.size());
            out.bytes += set.size();
        }
        const Bytes& payload = frame->frame.payload;
        out.bytes += payload.size();
        for (std::size_t at = 0; at + 4 <= payload.size();) {
            const std::size_t length = (std::size_t{payload[at]} << 24) |
                                       (std::size_t{payload[at + 1]} << 16) |
                                       (std::size_t{payload[at + 2]} << 8) | payload[at + 3];
            appendUnit(out.annexB, payload.data() + at + 4, length);
            at += 4 + length;
        }
        return true;
    };
}

EncodeOne ffmpegEncoder(int width, int height) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        return nullptr;
    }
    std::shared_ptr<AVCodecContext> context(avcodec_alloc_context3(codec),
                                            [](AVCodecContext* c) { avcodec_free_context(&c); });
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_NV12;
    context->time_base = AVRational{1, kFps};
    context->framerate = AVRational{kFps, 1};
    context->bit_rate = static_cast<std::int64_t>(kMbps * 1e6);
    context->max_b_frames = 0;
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context->priv_data, "forced-idr", "1", 0);
    av_opt_set(context->priv_data, "x264-params", "keyint=infinite:scenecut=0", 0);
    if (avcodec_open2(context.get(), codec, nullptr) != 0) {
        return nullptr;
    }
    auto pts = std::make_shared<std::int64_t>(0);
    return [context, pts](const PixelBufferRef& picture, bool forceKey, bool, Encoded& out) {
        AVFrame* frame = av_frame_alloc();
        frame->format = AV_PIX_FMT_NV12;
        frame->width = picture->width();
        frame->height = picture->height();
        frame->data[0] = picture->luma();
        frame->linesize[0] = picture->lumaStride();
        frame->data[1] = picture->chroma();
        frame->linesize[1] = picture->chromaStride();
        frame->pts = (*pts)++;
        frame->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        const int sent = avcodec_send_frame(context.get(), frame);
        av_frame_free(&frame);
        AVPacket* packet = av_packet_alloc();
        const bool received = sent == 0 && avcodec_receive_packet(context.get(), packet) == 0;
        if (received) {
            out = Encoded{};
            out.annexB.assign(packet->data, packet->data + packet->size);
            out.bytes = static_cast<std::size_t>(packet->size);
            out.isKey = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        }
        av_packet_free(&packet);
        return received;
    };
}

// CPU time of the whole process, all threads: with the machine busy, wall time says more
// about the other processes than about the encoder.
double processCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * double(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// One encode, timed by the wall clock and by the process's CPU.
struct TimedEncode {
    bool ok = false;
    Encoded encoded;
    double wallMs = 0;
    double cpuMs = 0;
};

TimedEncode timedEncode(const EncodeOne& encode, const PixelBufferRef& picture, bool forceKey) {
    TimedEncode timed;
    const double cpuStart = processCpuMilliseconds();
    const auto start = std::chrono::steady_clock::now();
    timed.ok = encode(picture, forceKey, false, timed.encoded);
    const auto end = std::chrono::steady_clock::now();
    timed.cpuMs = processCpuMilliseconds() - cpuStart;
    timed.wallMs = std::chrono::duration<double, std::milli>(end - start).count();
    return timed;
}

void measure(const char* name, int width, int height, int frames, const EncodeOne& encode,
             int scrollRows = 4) {
    if (!encode) {
        std::printf("%-26s %4dx%-4d  unavailable\n", name, width, height);
        return;
    }
    const Scene scene(width, height, scrollRows);
    QualityMeter quality;
    std::vector<double> milliseconds;
    std::vector<double> cpuMilliseconds;
    std::size_t totalBytes = 0;
    std::size_t firstKey = 0;
    std::size_t laterKey = 0;
    int failures = 0;
    // Pictures come at the frame rate, as from a screen: an encoder that paces itself against
    // the link sees the time pass that the bit rate is counted over.
    const auto paceStart = std::chrono::steady_clock::now();
    for (int t = 0; t < frames; ++t) {
        std::this_thread::sleep_until(paceStart + std::chrono::microseconds(1'000'000 * t / kFps));
        auto picture = std::make_shared<PixelBuffer>(width, height);
        scene.draw(t, *picture);
        const bool forceKey = t == 0 || t == frames / 2;
        const auto timed = timedEncode(encode, picture, forceKey);
        if (!timed.ok) {
            ++failures;
            continue;
        }
        if (forceKey) {
            (t == 0 ? firstKey : laterKey) = timed.encoded.bytes;
        } else {
            milliseconds.push_back(timed.wallMs);
            cpuMilliseconds.push_back(timed.cpuMs);
        }
        totalBytes += timed.encoded.bytes;
        quality.add(timed.encoded, *picture);
    }
    const double seconds = double(frames) / kFps;
    std::printf("%-26s %4dx%-4d  %6.2f  %6.2f  %6.2f  %6.2f / %.0f  %7.1f  %7.1f  %6.2f%s\n", name,
                width, height, percentile(milliseconds, 0.5), percentile(milliseconds, 0.95),
                percentile(cpuMilliseconds, 0.5), double(totalBytes) * 8 / seconds / 1e6, kMbps,
                firstKey / 1024.0, laterKey / 1024.0, quality.average(),
                failures ? ("  (" + std::to_string(failures) + " failed)").c_str() : "");
}

// What looking for a scroll adds to every motion frame: hashing the luma plane and looking up
// the changed rows, on the moving scene and on one that changes everywhere.
void measureScrollDetector(int frames) {
    std::printf("\nscroll detector, CPU per picture (ms): ");
    for (const auto& [width, height] : {std::pair{1920, 1080}, std::pair{2560, 1440}}) {
        const Scene scene(width, height, 36);
        PixelBuffer picture(width, height);
        PixelBuffer noise(width, height);
        quelm::ScrollDetector onScene;
        quelm::ScrollDetector onNoise;
        double sceneMs = 0;
        double noiseMs = 0;
        for (int t = 0; t < frames; ++t) {
            scene.draw(t, picture);
            for (std::size_t i = 0; i < std::size_t(width) * height; ++i) {
                noise.luma()[i] = static_cast<std::uint8_t>(mix(std::uint32_t(i + t * 7919U)));
            }
            double start = processCpuMilliseconds();
            onScene.observe(picture.luma(), picture.lumaStride(), width, height);
            sceneMs += processCpuMilliseconds() - start;
            start = processCpuMilliseconds();
            onNoise.observe(noise.luma(), noise.lumaStride(), width, height);
            noiseMs += processCpuMilliseconds() - start;
        }
        std::printf("%dx%d %.2f (scene), %.2f (all changed); ", width, height, sceneMs / frames,
                    noiseMs / frames);
    }
    std::printf("\n");
}

// One way of opening the encoder on the scrolling texture, paced in real time at `fps`.
void measureSetup(const char* name, const quelm::VideoEncoder::Setup& setup,
                  const ScrollingTexture& texture, int width, int height, int fps, double mbps,
                  int frames) {
    const EncodeOne encode = hostEncoder(width, height, {setup}, mbps, fps);
    if (!encode) {
        std::printf("%-30s unavailable\n", name);
        return;
    }
    QualityMeter quality;
    std::vector<double> milliseconds;
    double cpu = 0;
    std::size_t totalBytes = 0;
    int keys = 0;
    const auto paceStart = std::chrono::steady_clock::now();
    for (int t = 0; t < frames; ++t) {
        std::this_thread::sleep_until(paceStart + std::chrono::microseconds(1'000'000 * t / fps));
        auto picture = std::make_shared<PixelBuffer>(width, height);
        texture.draw(t, *picture);
        const auto timed = timedEncode(encode, picture, t == 0);
        if (!timed.ok) {
            continue;
        }
        if (t > 0) {
            cpu += timed.cpuMs;
            milliseconds.push_back(timed.wallMs);
            totalBytes += timed.encoded.bytes;
            keys += timed.encoded.isKey ? 1 : 0;
        }
        quality.add(timed.encoded, *picture);
    }
    const double seconds = double(frames - 1) / fps;
    std::printf("%-30s %7.2f  %6.2f  %6.2f  %6.2f / %.0f  %5d  %6.2f\n", name,
                cpu / double(std::max<std::size_t>(milliseconds.size(), 1)),
                percentile(milliseconds, 0.5), percentile(milliseconds, 0.95),
                double(totalBytes) * 8 / seconds / 1e6, mbps, keys, quality.average());
}

void compareSetups(int frames) {
    constexpr int width = 1920;
    constexpr int height = 1080;
    constexpr int fps = 60;
    constexpr double mbps = 10.0;
    const ScrollingTexture texture(width, height);
    const auto base = quelm::VideoEncoder::defaultSetups().front();
    auto with = [&](std::vector<std::pair<std::string, std::string>> tools) {
        auto setup = base;
        setup.tools.insert(setup.tools.end(), tools.begin(), tools.end());
        return setup;
    };
    auto oneThread = base;
    oneThread.threads = 1;
    oneThread.slicedThreads = false;
    std::printf("scrolling texture %dx%d, %d fps, %.0f Mbit/s, %d frames after the first key\n",
                width, height, fps, mbps, frames - 1);
    std::printf("%-30s %7s  %6s  %6s  %-12s  %5s  %6s\n", "setup", "CPU ms", "p50 ms", "p95 ms",
                "Mbit/s", "keys", "PSNR-Y");
    measureSetup("default", base, texture, width, height, fps, mbps, frames);
    measureSetup("default, 1 thread", oneThread, texture, width, height, fps, mbps, frames);
    measureSetup("no CABAC", with({{"cabac", "0"}}), texture, width, height, fps, mbps, frames);
    measureSetup("no 8x8 transform", with({{"8x8dct", "0"}}), texture, width, height, fps, mbps,
                 frames);
    measureSetup("deblocking on", with({{"deblock", "1:0:0"}}), texture, width, height, fps, mbps,
                 frames);
}

// A still picture sent as a key frame and then three times more, as the pipeline does for a
// still screen: luma PSNR and bytes of each. `moving` frames of moving content come first, so
// the key frame is forced mid-stream, when non-zero. `asRefinements` false sends the repeats
// as ordinary encodes, as they were sent before refinements went finer.
void measureStill(int width, int height, double mbps, int moving, bool asRefinements) {
    const EncodeOne encode = hostEncoder(width, height, quelm::VideoEncoder::defaultSetups(), mbps);
    if (!encode) {
        std::printf("%4dx%-4d unavailable\n", width, height);
        return;
    }
    const Scene scene(width, height);
    QualityMeter quality;
    for (int t = 0; t < moving; ++t) {
        auto picture = std::make_shared<PixelBuffer>(width, height);
        scene.draw(t, *picture);
        Encoded encoded;
        if (encode(picture, t == 0, false, encoded)) {
            quality.add(encoded, *picture);
        }
    }
    auto still = std::make_shared<PixelBuffer>(width, height);
    scene.draw(moving, *still);
    std::printf("%4dx%-4d %4.1f Mbit/s %-10s %-12s", width, height, mbps,
                moving ? "mid-stream" : "first", asRefinements ? "refinements" : "plain");
    double keyPsnr = 0;
    for (int pass = 0; pass <= 3; ++pass) {
        Encoded encoded;
        if (!encode(still, pass == 0, pass > 0 && asRefinements, encoded)) {
            std::printf("  failed");
            break;
        }
        quality.add(encoded, *still);
        if (pass == 0) {
            keyPsnr = quality.last();
        }
        std::printf("  %6.2f dB %7.1f KB", quality.last(), encoded.bytes / 1024.0);
    }
    std::printf("  (%+.2f dB)\n", quality.last() - keyPsnr);
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    if (argc > 1 && std::strcmp(argv[1], "setups") == 0) {
        compareSetups(argc > 2 ? std::max(10, std::atoi(argv[2])) : 600);
        return 0;
    }
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 10 * kFps;

    const std::vector<quelm::VideoEncoder::Setup> superfast{{"superfast", "zerolatency", {}, 0}};
    // The default setup on one thread: slices buy latency with CPU on a small machine.
    auto oneThread = quelm::VideoEncoder::defaultSetups();
    oneThread.resize(1);
    oneThread.front().threads = 1;
    oneThread.front().slicedThreads = false;
    const int sizes[][2] = {{1280, 720}, {1920, 1080}, {2560, 1440}};
    std::printf("moving content, %d fps, %.0f Mbit/s target, %d frames (%.0f s)\n", kFps, kMbps,
                frames, double(frames) / kFps);
    std::printf("%-26s %-9s  %6s  %6s  %6s  %-12s  %7s  %7s  %6s\n", "encoder", "size", "p50 ms",
                "p95 ms", "CPU ms", "Mbit/s", "key0 KB", "keyN KB", "PSNR-Y");
    for (const auto& size : sizes) {
        const int width = size[0];
        const int height = size[1];
        measure("host (default setup)", width, height, frames,
                hostEncoder(width, height, quelm::VideoEncoder::defaultSetups()));
        measure("host (default, 1 thread)", width, height, frames,
                hostEncoder(width, height, oneThread));
        measure("host (superfast setup)", width, height, frames,
                hostEncoder(width, height, superfast));
        measure("FFmpeg libx264 ultrafast", width, height, frames, ffmpegEncoder(width, height));
    }

    std::printf("\nthe same with the text panel scrolling 36 rows a frame (a fast terminal)\n");
    for (const auto& size : sizes) {
        measure("host (default setup)", size[0], size[1], frames,
                hostEncoder(size[0], size[1], quelm::VideoEncoder::defaultSetups()), 36);
        measure("FFmpeg libx264 ultrafast", size[0], size[1], frames,
                ffmpegEncoder(size[0], size[1]), 36);
    }
    measureScrollDetector(frames);

    std::printf("\nstill picture: key frame, then three repeats 0.3 s apart (PSNR-Y, bytes)\n");
    std::printf("%-9s %-11s %-10s %-12s  %-18s  %-18s  %-18s  %-18s\n", "size", "rate", "key",
                "repeats", "key frame", "repeat 1", "repeat 2", "repeat 3");
    for (const bool asRefinements : {false, true}) {
        measureStill(1920, 1080, 6.0, 0, asRefinements);
        measureStill(1440, 900, 2.5, 0, asRefinements);
        measureStill(1920, 1080, 6.0, 30, asRefinements);
    }
    return 0;
}
