#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "QuelmCore/EsDescriptor.hpp"
#include "QuelmCore/companion/AudioDecoder.hpp"
#include "QuelmHostKit/codecs/AudioEncoder.hpp"
#include "tests/fakes/ToneAnalysis.hpp"

namespace quelm {
namespace {

using test::ToneAnalysis::frequency;
using test::ToneAnalysis::interleavedTone;

// Feeds a tone in chunks of `chunk` frames (10 ms at 48 kHz, as a sound server delivers it)
// and keeps every packet that comes out.
struct Feeder {
    explicit Feeder(AudioEncoder& encoder) : encoder(encoder) {}

    AudioEncoder& encoder;
    int rate = 48000;
    std::vector<double> tones{440.0, 1000.0};
    std::size_t position = 0;
    std::vector<AudioPacket> packets;
    int emptyCalls = 0;

    void feed(double seconds, std::size_t chunk = 480) {
        auto total = static_cast<std::size_t>(seconds * rate);
        for (std::size_t done = 0; done < total; done += chunk) {
            auto pcm = interleavedTone(tones, rate, chunk, position);
            position += chunk;
            AudioSamples samples{pcm, rate, static_cast<int>(tones.size())};
            if (auto packet = encoder.encode(samples)) {
                packets.push_back(std::move(*packet));
            } else {
                ++emptyCalls;
            }
        }
    }
};

PcmBuffer decodeAll(const std::vector<AudioPacket>& packets, std::size_t from = 0) {
    AudioDecoder decoder;
    PcmBuffer all;
    for (std::size_t i = from; i < packets.size(); ++i) {
        auto pcm = decoder.decode(packets[i]);
        EXPECT_TRUE(pcm) << "packet " << packets[i].seq << " does not decode";
        if (pcm) {
            for (std::size_t c = 0; c < 2; ++c) {
                all.channels[c].insert(all.channels[c].end(), pcm->channels[c].begin(),
                                       pcm->channels[c].end());
            }
        }
    }
    return all;
}

// The steady middle of a channel: the encoder's priming and the tail are left out.
std::span<const float> steady(const std::vector<float>& channel) {
    if (channel.size() < 8192) {
        return {};
    }
    return std::span(channel).subspan(4096, channel.size() - 8192);
}

TEST(AudioEncoderTests, ToneRoundTripsThroughTheCompanionDecoderWithTheCookieOnlyFirst) {
    auto encoder = AudioEncoder::create(128);
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->kbps(), 128);
    Feeder feeder(*encoder);
    feeder.feed(1.0);

    ASSERT_GE(feeder.packets.size(), 30u);
    // Short chunks wait inside the encoder: some calls yield nothing and use no number.
    EXPECT_GT(feeder.emptyCalls, 0);
    for (std::size_t i = 0; i < feeder.packets.size(); ++i) {
        EXPECT_EQ(feeder.packets[i].seq, i + 1);
        EXPECT_EQ(feeder.packets[i].cookie.empty(), i > 0) << "packet " << i;
        EXPECT_TRUE(feeder.packets[i].encoded()) << "packet " << i << " fits the wire layout";
    }
    // The cookie is a descriptor around AAC-LC, 48 kHz, two channels (FFmpeg may append an
    // explicit "no SBR" extension).
    auto config = EsDescriptor::unwrap(feeder.packets[0].cookie);
    ASSERT_TRUE(config);
    ASSERT_GE(config->size(), 2u);
    EXPECT_EQ(Bytes(config->begin(), config->begin() + 2), (Bytes{0x11, 0x90}));
    std::size_t units = 0;
    for (const auto& p : feeder.packets) {
        units += p.units.size();
        for (const auto& u : p.units) {
            EXPECT_FALSE(u.empty());
        }
    }
    // One unit per 1024 frames, less what the encoder still holds back.
    EXPECT_GE(units, 44u);
    EXPECT_LE(units, 47u);

    auto pcm = decodeAll(feeder.packets);
    EXPECT_NEAR(frequency(steady(pcm.channels[0]), 48000), 440.0, 2.0);
    EXPECT_NEAR(frequency(steady(pcm.channels[1]), 48000), 1000.0, 2.0);
}

TEST(AudioEncoderTests, AShortFirstSampleYieldsNothingAndKeepsTheNumber) {
    auto encoder = AudioEncoder::create(64);
    ASSERT_TRUE(encoder);
    auto pcm = interleavedTone({440.0, 440.0}, 48000, 512);
    EXPECT_FALSE(encoder->encode(AudioSamples{pcm, 48000, 2}));
    EXPECT_EQ(encoder->lastSeq(), 0u);
}

TEST(AudioEncoderTests, AnInputFormatChangeSendsTheCookieAgainAndKeepsCounting) {
    auto encoder = AudioEncoder::create(128);
    ASSERT_TRUE(encoder);
    Feeder feeder(*encoder);
    feeder.feed(0.5);
    const std::size_t before = feeder.packets.size();
    ASSERT_GT(before, 5u);

    // 44.1 kHz mono: the converter resamples and spreads it over both channels.
    feeder.rate = 44100;
    feeder.tones = {1000.0};
    feeder.position = 0;
    feeder.feed(1.0, 441);
    ASSERT_GT(feeder.packets.size(), before + 20);
    const auto& first = feeder.packets[before];
    EXPECT_EQ(first.seq, before + 1);
    EXPECT_FALSE(first.cookie.empty());
    for (std::size_t i = before + 1; i < feeder.packets.size(); ++i) {
        EXPECT_TRUE(feeder.packets[i].cookie.empty());
        EXPECT_EQ(feeder.packets[i].seq, i + 1);
    }
    // The companion builds a new decoder at the cookie; the tone keeps its pitch.
    auto pcm = decodeAll(feeder.packets, before);
    EXPECT_NEAR(frequency(steady(pcm.channels[0]), 48000), 1000.0, 2.0);
    EXPECT_NEAR(frequency(steady(pcm.channels[1]), 48000), 1000.0, 2.0);
}

TEST(AudioEncoderTests, SequenceNumbersWrapAround) {
    auto encoder = AudioEncoder::create(96);
    ASSERT_TRUE(encoder);
    encoder->continueAfter(0xFFFFFFFEu);
    Feeder feeder(*encoder);
    feeder.feed(0.2);
    ASSERT_GE(feeder.packets.size(), 3u);
    EXPECT_EQ(feeder.packets[0].seq, 0xFFFFFFFFu);
    EXPECT_EQ(feeder.packets[1].seq, 0u);
    EXPECT_EQ(feeder.packets[2].seq, 1u);
}

TEST(AudioEncoderTests, TheBitRateFollowsTheRequest) {
    // Noise keeps the encoder busy at any rate, so the average shows the target.
    auto average = [](std::int64_t kbps) {
        auto encoder = AudioEncoder::create(kbps);
        std::vector<float> noise(2 * 4800);
        std::uint32_t state = 12345;
        std::size_t bytes = 0;
        std::size_t units = 0;
        for (int call = 0; call < 50; ++call) {  // five seconds
            for (auto& s : noise) {
                state = state * 1664525u + 1013904223u;
                s = static_cast<float>(static_cast<int>(state >> 8) % 20000 - 10000) / 20000.0f;
            }
            if (auto packet = encoder->encode(AudioSamples{noise, 48000, 2})) {
                for (const auto& u : packet->units) {
                    bytes += u.size();
                    ++units;
                }
            }
        }
        return units ? static_cast<double>(bytes) * 8 * 48000 / (units * 1024.0) / 1000 : 0.0;
    };
    for (std::int64_t kbps : {64, 128, 256}) {
        double measured = average(kbps);
        EXPECT_GT(measured, kbps * 0.75) << kbps;
        EXPECT_LT(measured, kbps * 1.25) << kbps;
    }
}

TEST(AudioEncoderTests, UnusableSamplesYieldNothing) {
    auto encoder = AudioEncoder::create(128);
    ASSERT_TRUE(encoder);
    std::vector<float> pcm(4096, 0.25f);
    struct Case {
        const char* name;
        AudioSamples samples;
    };
    for (const auto& c : {Case{"no channels", {pcm, 48000, 0}}, Case{"no rate", {pcm, 0, 2}},
                          Case{"no samples", {std::span<const float>(), 48000, 2}},
                          Case{"too many channels", {pcm, 48000, 64}}}) {
        EXPECT_FALSE(encoder->encode(c.samples)) << c.name;
    }
    EXPECT_EQ(encoder->lastSeq(), 0u);
}

TEST(AudioEncoderTests, AHugeSampleIsSpreadOverPacketsTheWireCanCarry) {
    auto encoder = AudioEncoder::create(128);
    ASSERT_TRUE(encoder);
    // Ten seconds in one call: about 469 units, more than one packet can hold.
    auto pcm = interleavedTone({440.0, 1000.0}, 48000, 480000);
    auto first = encoder->encode(AudioSamples{pcm, 48000, 2});
    ASSERT_TRUE(first);
    EXPECT_LE(first->units.size(), AudioEncoder::maxUnitsPerPacket);
    EXPECT_TRUE(first->encoded());
    // The rest waits and comes with the next call.
    auto more = interleavedTone({440.0, 1000.0}, 48000, 480, 480000);
    auto second = encoder->encode(AudioSamples{more, 48000, 2});
    ASSERT_TRUE(second);
    EXPECT_GT(first->units.size() + second->units.size(), 460u);
}

}  // namespace
}  // namespace quelm
