// Per-event costs of the companion core: one AAC packet decoded, one touch update of a
// two-finger scroll, the stored button list read back, a kana turned into key strokes.

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "QuelmCore/companion/AudioDecoder.hpp"
#include "QuelmCore/companion/GestureEngine.hpp"
#include "QuelmCore/companion/Romaji.hpp"
#include "QuelmCore/companion/ShortcutButton.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 1024;

// A 128 kbit/s stereo tone from FFmpeg's AAC encoder: the cookie, then one raw unit per 1024
// frames.
quelm::AudioPacket encodedTone(int units) {
    quelm::AudioPacket packet;
    const AVCodec* aac = avcodec_find_encoder_by_name("aac");
    AVCodecContext* c = avcodec_alloc_context3(aac);
    c->sample_rate = kRate;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->bit_rate = 128000;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_channel_layout_default(&c->ch_layout, 2);
    if (avcodec_open2(c, aac, nullptr) < 0) {
        avcodec_free_context(&c);
        return packet;
    }
    packet.cookie.assign(c->extradata, c->extradata + c->extradata_size);
    AVFrame* frame = av_frame_alloc();
    AVPacket* out = av_packet_alloc();
    for (int p = 0; static_cast<int>(packet.units.size()) < units && p < units + 8; ++p) {
        frame->nb_samples = kFrames;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = kRate;
        av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
        av_frame_get_buffer(frame, 0);
        for (int ch = 0; ch < 2; ++ch) {
            auto* samples = reinterpret_cast<float*>(frame->data[ch]);
            for (int i = 0; i < kFrames; ++i) {
                samples[i] = static_cast<float>(
                    0.5 * std::sin(2 * std::numbers::pi * 440 * (p * kFrames + i) / kRate));
            }
        }
        frame->pts = static_cast<std::int64_t>(p) * kFrames;
        avcodec_send_frame(c, frame);
        av_frame_unref(frame);
        while (avcodec_receive_packet(c, out) == 0) {
            packet.units.emplace_back(out->data, out->data + out->size);
            av_packet_unref(out);
        }
    }
    avcodec_send_frame(c, nullptr);  // flush, so the encoder closes with nothing queued
    while (avcodec_receive_packet(c, out) == 0) {
        av_packet_unref(out);
    }
    av_packet_free(&out);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    packet.units.resize(std::min<std::size_t>(packet.units.size(), units));
    return packet;
}

void BM_AudioDecodePacket(benchmark::State& state) {
    const auto source = encodedTone(64);
    quelm::AudioDecoder decoder;
    quelm::AudioPacket first{1, source.cookie, {source.units[0]}};
    decoder.decode(first);
    std::size_t next = 1;
    for (auto _ : state) {
        quelm::AudioPacket packet{2, {}, {source.units[next]}};
        next = next + 1 < source.units.size() ? next + 1 : 1;
        auto pcm = decoder.decode(packet);
        benchmark::DoNotOptimize(pcm);
    }
    state.counters["frames/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AudioDecodePacket);

void BM_GestureScrollUpdate(benchmark::State& state) {
    quelm::GestureEngine engine;
    double t = 0;
    double y = 0;
    std::vector<quelm::Point> points{{100, 100}, {140, 100}};
    engine.update(points, t);
    for (auto _ : state) {
        t += 1.0 / 120;
        y += 1;
        points[0].y = 100 + y;
        points[1].y = 100 + y;
        auto events = engine.update(points, t);
        benchmark::DoNotOptimize(events);
    }
}
BENCHMARK(BM_GestureScrollUpdate);

void BM_ShortcutDecodeList(benchmark::State& state) {
    const auto stored = quelm::ShortcutButton::encodeList(quelm::ShortcutButton::defaults());
    for (auto _ : state) {
        auto list = quelm::ShortcutButton::decodeList(*stored);
        benchmark::DoNotOptimize(list);
    }
}
BENCHMARK(BM_ShortcutDecodeList);

void BM_RomajiKeyStrokes(benchmark::State& state) {
    for (auto _ : state) {
        auto strokes = quelm::Romaji::keyStrokes("っ", quelm::KeyboardLayoutKind::jis);
        benchmark::DoNotOptimize(strokes);
    }
}
BENCHMARK(BM_RomajiKeyStrokes);

}  // namespace

BENCHMARK_MAIN();
