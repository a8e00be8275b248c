// Clipboard images: peak memory of preparing crafted files that claim huge pictures; cutting and
// reassembly of a full-size transfer, and preparation of host images through gdk-pixbuf
// (pass-through, conversion, shrinking).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "QuelmCore/ClipAssembler.hpp"
#include "QuelmCore/ClipImage.hpp"
#include "QuelmHostKit/clipboard/ClipImagePreparer.hpp"
#include "QuelmHostKit/linux/gtk/GdkPixbufImageCodec.hpp"
#include "tests/fakes/CraftedImages.hpp"

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

// A field of /proc/self/status, in kilobytes.
long statusKilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
        status.ignore(1 << 12, '\n');
    }
    return -1;
}

// Prepares `file` in a child process and prints the peak resident memory it added.
void measurePeak(const char* name, const Bytes& file) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        // Reset the high-water mark to what the process holds now.
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = statusKilobytes("VmRSS:");
        GdkPixbufImageCodec codec;
        auto prepared = ClipImage::prepare(file, ClipImage::maxBytes, codec);
        const long peak = statusKilobytes("VmHWM:");
        char line[256];
        const int n = std::snprintf(line, sizeof line, "%-26s %8.0f KB  %9.1f MB  %-8s %8.0f KB\n",
                                    name, file.size() / 1024.0, double(peak - before) / 1024.0,
                                    !prepared                ? "refused"
                                    : prepared->data == file ? "as is"
                                                             : "JPEG",
                                    prepared ? prepared->data.size() / 1024.0 : 0.0);
        [[maybe_unused]] auto written = write(pipeEnds[1], line, std::size_t(n));
        _exit(0);
    }
    close(pipeEnds[1]);
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
        std::fwrite(buffer, 1, std::size_t(n), stdout);
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("%-26s failed (status %d)\n", name, status);
    }
}

void measureCraftedFiles() {
    namespace crafted = test::CraftedImages;
    std::printf("crafted files: peak resident memory added by preparing each (own process)\n");
    std::printf("%-26s %11s  %12s  %-8s %11s\n", "file", "size", "peak", "result", "out");
    measurePeak("12000x10000 TIFF", crafted::flatTiff(12000, 10000));
    measurePeak("12000x10000 PNG", crafted::flatPng(12000, 10000));
    measurePeak("10000x10000 PNG", crafted::flatPng(10000, 10000));
    measurePeak("10000x10000 TIFF", crafted::flatTiff(10000, 10000));
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    measureCraftedFiles();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
