// Clipboard images: cutting and reassembly of a full-size transfer, and preparation of host
// images through gdk-pixbuf (pass-through, conversion, shrinking).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "QuelmCore/ClipAssembler.hpp"
#include "QuelmCore/ClipImage.hpp"
#include "QuelmHostKit/clipboard/ClipImagePreparer.hpp"
#include "QuelmHostKit/linux/gtk/GdkPixbufImageCodec.hpp"

namespace {

using namespace quelm;

// An uncompressed 24-bit BMP, written by hand so the benchmark needs no encoder of its own.
// `noise` makes it compress badly, like a photo; otherwise it is a smooth gradient.
Bytes makeBmp(int width, int height, bool noise) {
    const int stride = (width * 3 + 3) & ~3;
    const std::uint32_t pixelBytes = std::uint32_t(stride) * height;
    Bytes out(54 + pixelBytes);
    auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(&out[at], &v, 4); };
    auto put16 = [&](std::size_t at, std::uint16_t v) { std::memcpy(&out[at], &v, 2); };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, std::uint32_t(out.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, std::uint32_t(width));
    put32(22, std::uint32_t(height));
    put16(26, 1);
    put16(28, 24);
    put32(34, pixelBytes);
    std::minstd_rand random(3);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = &out[54 + std::size_t(y) * stride];
        for (int x = 0; x < width; ++x) {
            row[x * 3 + 0] = noise ? std::uint8_t(random()) : std::uint8_t(x * 255 / width);
            row[x * 3 + 1] = noise ? std::uint8_t(random()) : std::uint8_t(y * 255 / height);
            row[x * 3 + 2] = noise ? std::uint8_t(random()) : 128;
        }
    }
    return out;
}

void BM_ChunkAndReassembleFullImage(benchmark::State& state) {
    Bytes image(ClipImage::maxBytes, 0x5A);
    for (auto _ : state) {
        auto chunks = ClipImage::chunks(image, ClipImageFormat::jpeg, 1);
        ClipAssembler assembler;
        std::optional<ClipImageData> done;
        for (auto& chunk : chunks) {
            done = assembler.add(std::move(chunk));
        }
        benchmark::DoNotOptimize(done);
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(image.size()));
}
BENCHMARK(BM_ChunkAndReassembleFullImage)->Unit(benchmark::kMillisecond);

// A 4000 x 3000 smooth picture as BMP (36 MB): converted to JPEG at full size.
void BM_PrepareBmpToJpeg(benchmark::State& state) {
    auto bmp = makeBmp(4000, 3000, false);
    GdkPixbufImageCodec codec;
    std::size_t out = 0;
    for (auto _ : state) {
        auto prepared = ClipImage::prepare(bmp, ClipImage::maxBytes, codec);
        out = prepared ? prepared->data.size() : 0;
    }
    state.counters["jpegKB"] = double(out) / 1024;
}
BENCHMARK(BM_PrepareBmpToJpeg)->Unit(benchmark::kMillisecond);

// The same picture once it is a JPEG within the limit: only the header is read.
void BM_PrepareJpegPassThrough(benchmark::State& state) {
    GdkPixbufImageCodec codec;
    auto jpeg = ClipImage::prepare(makeBmp(4000, 3000, false), ClipImage::maxBytes, codec);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ClipImage::prepare(jpeg->data, ClipImage::maxBytes, codec));
    }
    state.counters["jpegKB"] = double(jpeg->data.size()) / 1024;
}
BENCHMARK(BM_PrepareJpegPassThrough)->Unit(benchmark::kMillisecond);

// A photo-like JPEG over a 2 MB limit: decoded at reduced sizes until the JPEG fits.
void BM_PrepareOversizeJpegShrinks(benchmark::State& state) {
    GdkPixbufImageCodec codec;
    auto jpeg = ClipImage::prepare(makeBmp(4000, 3000, true), ClipImage::maxBytes, codec);
    const std::size_t limit = 2 * 1024 * 1024;
    std::size_t out = 0;
    for (auto _ : state) {
        auto prepared = ClipImage::prepare(jpeg->data, limit, codec);
        out = prepared ? prepared->data.size() : 0;
    }
    state.counters["inKB"] = double(jpeg->data.size()) / 1024;
    state.counters["outKB"] = double(out) / 1024;
}
BENCHMARK(BM_PrepareOversizeJpegShrinks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
