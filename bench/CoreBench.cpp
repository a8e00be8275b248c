// Hot paths of the protocol core: one JSON message in, one out, one video frame and one
// clipboard chunk through their binary layouts.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "QuelmCore/ClipChunk.hpp"
#include "QuelmCore/VideoFrame.hpp"
#include "QuelmCore/WireCoder.hpp"

namespace {
std::atomic<long> allocations{0};
}

// Counts heap allocations so the benchmarks can show how many each operation makes. GCC takes
// the malloc/free inside this replaced pair for a mismatch; it is not one.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace quelm {
namespace {

// Runs `body` for each iteration and reports the heap allocations per iteration.
template <class Body>
void measured(benchmark::State& state, Body body) {
    long before = allocations.load();
    for (auto _ : state) {
        body();
    }
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations.load() - before) /
                                                  static_cast<double>(state.iterations()));
}

void DecodeAndValidateMove(benchmark::State& state) {
    const std::string text = R"({"move":{"dx":3.5,"dy":-2}})";
    measured(state, [&] {
        auto message = WireCoder::decode<ClientMessage>(text);
        auto valid = message->validated();
        benchmark::DoNotOptimize(valid);
    });
}
BENCHMARK(DecodeAndValidateMove);

void DecodeAndValidateText(benchmark::State& state, const char* piece) {
    std::string text;
    for (int i = 0; i < 4000; ++i) {
        text += piece;
    }
    auto json = *WireCoder::encode(ClientMessage{ClientMessage::Text{text}});
    measured(state, [&] {
        auto message = WireCoder::decode<ClientMessage>(json);
        auto valid = message->validated();
        benchmark::DoNotOptimize(valid);
    });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}
BENCHMARK_CAPTURE(DecodeAndValidateText, ascii4000, "a");
BENCHMARK_CAPTURE(DecodeAndValidateText, emoji4000, "\U0001F600");

void EncodeCursor(benchmark::State& state) {
    const ServerMessage message = ServerMessage::Cursor{0.4817708333333333, 0.25};
    measured(state, [&] {
        auto text = WireCoder::encode(message);
        benchmark::DoNotOptimize(text);
    });
}
BENCHMARK(EncodeCursor);

void VideoFrameEncoded(benchmark::State& state) {
    VideoFrame frame{
        42, 1920, 1080, true, {Bytes(24, 0x67), Bytes(8, 0x68)}, Bytes(200 * 1024, 0x65)};
    measured(state, [&] {
        auto bytes = frame.encoded();
        benchmark::DoNotOptimize(bytes);
    });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(frame.payload.size()));
}
BENCHMARK(VideoFrameEncoded);

void ClipChunkDecode(benchmark::State& state) {
    const Bytes message =
        ClipChunk{7, 3, 320, ClipImageFormat::png, Bytes(ClipChunk::payloadBytes, 0x89)}.encoded();
    measured(state, [&] {
        auto chunk = ClipChunk::decode(message);
        benchmark::DoNotOptimize(chunk);
    });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}
BENCHMARK(ClipChunkDecode);

}  // namespace
}  // namespace quelm

BENCHMARK_MAIN();
