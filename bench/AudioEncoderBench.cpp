// CPU time and produced bit rate of the host's AAC encoder on a minute of music-like sound fed
// in 10 ms chunks, as the sound server delivers it, at several requested bit rates; and the
// companion core's decoder on the result.
// Usage: AudioEncoderBench [seconds]   (default 60)

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <vector>

#include "QuelmCore/companion/AudioDecoder.hpp"
#include "QuelmHostKit/codecs/AudioEncoder.hpp"

namespace {

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Chords that change every half second, with a little noise: busier than a tone, like music.
std::vector<float> music(int seconds) {
    const std::size_t frames = static_cast<std::size_t>(seconds) * 48000;
    std::vector<float> out(frames * 2);
    std::uint32_t state = 1;
    const double roots[] = {220.0, 261.6, 293.7, 329.6, 392.0};
    for (std::size_t i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / 48000;
        double root = roots[(i / 24000) % 5];
        double v = 0;
        for (double ratio : {1.0, 1.25, 1.5, 2.0}) {
            v += 0.12 * std::sin(2 * std::numbers::pi * root * ratio * t);
        }
        state = state * 1664525u + 1013904223u;
        double noise = (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.05;
        out[2 * i] = static_cast<float>(v + noise);
        out[2 * i + 1] = static_cast<float>(0.8 * v - noise);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const auto pcm = music(seconds);
    std::printf("AAC encoder, %d s of stereo 48 kHz in 10 ms chunks\n", seconds);
    std::printf("%8s %14s %16s %10s %18s\n", "kbps", "produced kbps", "encode CPU ms/s", "packets",
                "decode CPU ms/s");
    for (std::int64_t kbps : {64, 128, 192, 256}) {
        auto encoder = quelm::AudioEncoder::create(kbps);
        if (!encoder) {
            std::printf("no AAC encoder\n");
            return 1;
        }
        std::vector<quelm::AudioPacket> packets;
        std::size_t bytes = 0;
        std::size_t units = 0;
        const double start = threadSeconds();
        for (std::size_t at = 0; at < pcm.size(); at += 960) {
            std::span<const float> chunk(pcm.data() + at,
                                         std::min<std::size_t>(960, pcm.size() - at));
            if (auto packet = encoder->encode(quelm::AudioSamples{chunk, 48000, 2})) {
                for (const auto& u : packet->units) {
                    bytes += u.size();
                    ++units;
                }
                packets.push_back(std::move(*packet));
            }
        }
        const double encodeCpu = threadSeconds() - start;
        quelm::AudioDecoder decoder;
        const double decodeStart = threadSeconds();
        for (const auto& p : packets) {
            decoder.decode(p);
        }
        const double decodeCpu = threadSeconds() - decodeStart;
        const double audioSeconds = static_cast<double>(units) * 1024 / 48000;
        std::printf("%8lld %14.1f %16.2f %10zu %18.2f\n", static_cast<long long>(kbps),
                    audioSeconds > 0 ? static_cast<double>(bytes) * 8 / audioSeconds / 1000 : 0.0,
                    encodeCpu * 1000 / seconds, packets.size(), decodeCpu * 1000 / seconds);
    }
    return 0;
}
