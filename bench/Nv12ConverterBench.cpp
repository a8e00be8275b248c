// Milliseconds per picture (the Time column) for BGRA -> NV12 (BT.709, video range): our converter
// at the same size and scaled, libyuv's scaler followed by our converter (what capture uses), and
// swscale doing the same job, to justify the choice.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "QuelmHostKit/codecs/ScalingNv12Converter.hpp"
#include "QuelmHostKit/streaming/Nv12Converter.hpp"

namespace {

using quelm::BgraImage;
using quelm::PixelBuffer;

// A desktop-like picture: flat areas with some noise, so nothing is trivially predictable.
std::vector<std::uint8_t> makePicture(int width, int height) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * 4);
    std::mt19937 random(1);
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        auto noise = static_cast<std::uint8_t>(random() & 0x1F);
        bytes[i] = static_cast<std::uint8_t>(200 + noise);
        bytes[i + 1] = static_cast<std::uint8_t>(120 + noise);
        bytes[i + 2] = static_cast<std::uint8_t>(40 + noise);
        bytes[i + 3] = 0;
    }
    return bytes;
}

void ourConverter(benchmark::State& state) {
    const int sw = static_cast<int>(state.range(0)), sh = static_cast<int>(state.range(1));
    const int dw = static_cast<int>(state.range(2)), dh = static_cast<int>(state.range(3));
    auto bytes = makePicture(sw, sh);
    BgraImage source{bytes.data(), sw, sh, sw * 4};
    PixelBuffer out(dw, dh);
    quelm::Nv12Converter converter;
    for (auto _ : state) {
        converter.convert(source, out);
        benchmark::DoNotOptimize(out.luma());
    }
}

void libyuvThenOurs(benchmark::State& state) {
    const int sw = static_cast<int>(state.range(0)), sh = static_cast<int>(state.range(1));
    const int dw = static_cast<int>(state.range(2)), dh = static_cast<int>(state.range(3));
    auto bytes = makePicture(sw, sh);
    BgraImage source{bytes.data(), sw, sh, sw * 4};
    PixelBuffer out(dw, dh);
    quelm::ScalingNv12Converter converter;
    for (auto _ : state) {
        converter.convert(source, out);
        benchmark::DoNotOptimize(out.luma());
    }
}

void swscale(benchmark::State& state) {
    const int sw = static_cast<int>(state.range(0)), sh = static_cast<int>(state.range(1));
    const int dw = static_cast<int>(state.range(2)), dh = static_cast<int>(state.range(3));
    auto bytes = makePicture(sw, sh);
    PixelBuffer out(dw, dh);
    SwsContext* context = sws_getContext(sw, sh, AV_PIX_FMT_BGR0, dw, dh, AV_PIX_FMT_NV12,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context) {
        state.SkipWithError("swscale context");
        return;
    }
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    const std::uint8_t* sourcePlanes[] = {bytes.data()};
    const int sourceStrides[] = {sw * 4};
    std::uint8_t* outPlanes[] = {out.luma(), out.chroma()};
    const int outStrides[] = {out.lumaStride(), out.chromaStride()};
    for (auto _ : state) {
        sws_scale(context, sourcePlanes, sourceStrides, 0, sh, outPlanes, outStrides);
        benchmark::DoNotOptimize(out.luma());
    }
    sws_freeContext(context);
}

void sizes(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"sw", "sh", "dw", "dh"});
    bench->Args({1920, 1080, 1920, 1080});
    bench->Args({2560, 1440, 1920, 1080});
    bench->Args({3840, 2160, 1920, 1080});
    bench->Args({2560, 1440, 1280, 720});
    bench->Unit(benchmark::kMillisecond);
}

BENCHMARK(ourConverter)->Apply(sizes);
BENCHMARK(libyuvThenOurs)->Apply(sizes);
BENCHMARK(swscale)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
