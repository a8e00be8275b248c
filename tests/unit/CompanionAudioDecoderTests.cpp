#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "QuelmCore/EsDescriptor.hpp"
#include "QuelmCore/companion/AudioDecoder.hpp"
#include "QuelmCore/companion/JitterSchedule.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

namespace quelm {
namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 1024;

// AAC made by FFmpeg's own encoder from generated tones, one raw unit per 1024 frames.
struct EncodedTone {
    int rate = kRate;
    Bytes cookie;
    std::vector<Bytes> units;
};

EncodedTone encodeTones(const std::vector<double>& frequencies, int packets, int rate = kRate) {
    EncodedTone out;
    out.rate = rate;
    const AVCodec* aac = avcodec_find_encoder_by_name("aac");
    if (aac == nullptr) {
        ADD_FAILURE() << "no aac encoder";
        return out;
    }
    AVCodecContext* c = avcodec_alloc_context3(aac);
    c->sample_rate = rate;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->bit_rate = 128000;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // raw units, configuration in extradata
    av_channel_layout_default(&c->ch_layout, static_cast<int>(frequencies.size()));
    if (avcodec_open2(c, aac, nullptr) < 0) {
        ADD_FAILURE() << "aac encoder refused the format";
        avcodec_free_context(&c);
        return out;
    }
    out.cookie.assign(c->extradata, c->extradata + c->extradata_size);

    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    auto collect = [&] {
        while (avcodec_receive_packet(c, packet) == 0) {
            out.units.emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet);
        }
    };
    for (int p = 0; p < packets; ++p) {
        frame->nb_samples = kFrames;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = rate;
        av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
        av_frame_get_buffer(frame, 0);
        for (std::size_t ch = 0; ch < frequencies.size(); ++ch) {
            auto* samples = reinterpret_cast<float*>(frame->data[ch]);
            for (int i = 0; i < kFrames; ++i) {
                const double t = static_cast<double>(p * kFrames + i) / rate;
                samples[i] =
                    static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequencies[ch] * t));
            }
        }
        frame->pts = static_cast<std::int64_t>(p) * kFrames;
        avcodec_send_frame(c, frame);
        av_frame_unref(frame);
        collect();
    }
    avcodec_send_frame(c, nullptr);
    collect();
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    return out;
}

// Frequency from rising zero crossings, between the first and the last one.
double estimateFrequency(const std::vector<float>& samples) {
    std::vector<double> crossings;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double fraction = -samples[i - 1] / (samples[i] - samples[i - 1]);
            crossings.push_back(static_cast<double>(i - 1) + fraction);
        }
    }
    if (crossings.size() < 2) {
        return 0;
    }
    return (crossings.size() - 1) * kRate / (crossings.back() - crossings.front());
}

// Decodes the units in packets of four, the cookie (if any) on the first one. Output at the
// stream's own rate is exactly 1024 frames per unit.
PcmBuffer decodeAll(AudioDecoder& decoder, const EncodedTone& tone, const Bytes& cookie) {
    PcmBuffer all;
    for (std::size_t i = 0; i < tone.units.size(); i += 4) {
        AudioPacket packet;
        packet.seq = static_cast<std::uint32_t>(i / 4 + 1);
        if (i == 0) {
            packet.cookie = cookie;
        }
        for (std::size_t u = i; u < std::min(i + 4, tone.units.size()); ++u) {
            packet.units.push_back(tone.units[u]);
        }
        const auto pcm = decoder.decode(packet);
        EXPECT_TRUE(pcm) << "packet " << packet.seq;
        if (!pcm) {
            continue;
        }
        if (tone.rate == kRate) {
            EXPECT_EQ(pcm->frameLength(), static_cast<std::int64_t>(packet.units.size()) * kFrames);
        }
        for (std::size_t ch = 0; ch < PcmBuffer::channelCount; ++ch) {
            all.channels[ch].insert(all.channels[ch].end(), pcm->channels[ch].begin(),
                                    pcm->channels[ch].end());
        }
    }
    return all;
}

// Leaves out the encoder's priming at the start and the flushed tail.
std::vector<float> steadyPart(const std::vector<float>& samples) {
    if (samples.size() < 6 * kFrames) {
        return {};
    }
    return std::vector<float>(samples.begin() + 3 * kFrames, samples.end() - 2 * kFrames);
}

TEST(AudioDecoder, DecodesTonesBackToTheirFrequencies) {
    const auto tone = encodeTones({1000, 2500}, 40);
    ASSERT_FALSE(tone.cookie.empty());
    ASSERT_GE(tone.units.size(), 40u);

    // The configuration bare, inside an elementary-stream descriptor, or not at all.
    for (const Bytes& cookie : {tone.cookie, EsDescriptor::wrap(tone.cookie), Bytes{}}) {
        AudioDecoder decoder;
        const auto pcm = decodeAll(decoder, tone, cookie);
        EXPECT_NEAR(estimateFrequency(steadyPart(pcm.channels[0])), 1000, 2) << cookie.size();
        EXPECT_NEAR(estimateFrequency(steadyPart(pcm.channels[1])), 2500, 5) << cookie.size();
    }
}

TEST(AudioDecoder, OtherConfigurationsComeOutAs48kHzStereo) {
    // A mono stream at 44.1 kHz played as the 48 kHz stereo default would come out sharp.
    const auto tone = encodeTones({440}, 30, 44100);
    ASSERT_FALSE(tone.cookie.empty());
    for (const Bytes& cookie : {tone.cookie, EsDescriptor::wrap(tone.cookie)}) {
        AudioDecoder decoder;
        const auto pcm = decodeAll(decoder, tone, cookie);
        const double expectedFrames = tone.units.size() * kFrames * 48000.0 / 44100;
        EXPECT_NEAR(static_cast<double>(pcm.frameLength()), expectedFrames, 0.01 * expectedFrames);
        for (const auto& channel : pcm.channels) {
            EXPECT_NEAR(estimateFrequency(steadyPart(channel)), 440, 2) << cookie.size();
        }
    }
}

TEST(AudioDecoder, RefusesWhatItCannotDecode) {
    const auto tone = encodeTones({1000, 1000}, 8);
    ASSERT_FALSE(tone.units.empty());
    AudioDecoder decoder;

    AudioPacket empty;
    empty.cookie = tone.cookie;
    EXPECT_FALSE(decoder.decode(empty));

    AudioPacket plain;
    plain.units = {tone.units[0], tone.units[1]};
    const Bytes wrapped = EsDescriptor::wrap(tone.cookie);
    Bytes videoStream = wrapped;
    videoStream[7] = 0x20;  // the object type of MPEG-4 video
    Bytes overlong = wrapped;
    overlong[1] = 0x7F;  // runs past the end
    const std::vector<Bytes> badCookies{
        {0x00, 0x00},  // audio object type 0 does not exist
        Bytes(wrapped.begin(), wrapped.end() - 5),
        videoStream,
        overlong,
        {EsDescriptor::esTag, 0x80, 0x80, 0x80, 0x80, 0x01},
        {EsDescriptor::esTag},
    };
    for (const auto& cookie : badCookies) {
        AudioPacket bad{1, cookie, {tone.units[0]}};
        EXPECT_FALSE(decoder.decode(bad)) << cookie.size();
        // Later packets are not decoded under a guessed configuration either.
        EXPECT_FALSE(decoder.decode(plain)) << cookie.size();
        // A usable cookie ends the refusal.
        AudioPacket good{2, tone.cookie, plain.units};
        EXPECT_TRUE(decoder.decode(good)) << cookie.size();
        EXPECT_TRUE(decoder.decode(plain)) << cookie.size();
    }

    // So does a reset: the next packet builds a decoder again.
    AudioPacket bad{1, badCookies[0], {tone.units[0]}};
    EXPECT_FALSE(decoder.decode(bad));
    decoder.reset();
    EXPECT_TRUE(decoder.decode(plain));
    decoder.reset();
    plain.cookie = tone.cookie;
    const auto pcm = decoder.decode(plain);
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->frameLength(), 2 * kFrames);
}

// FFmpeg's own messages at the levels it prints by default.
std::mutex printedMutex;
std::vector<std::string> printed;

void recordPrinted(void*, int level, const char* format, va_list args) {
    if (level > av_log_get_level()) {
        return;
    }
    std::string line(512, '\0');
    const int length = std::vsnprintf(line.data(), line.size(), format, args);
    line.resize(std::clamp<std::size_t>(static_cast<std::size_t>(std::max(length, 0)), 0, 511));
    const std::lock_guard lock(printedMutex);
    printed.push_back(std::move(line));
}

TEST(AudioDecoder, KeepsFfmpegComplaintsAboutTheStreamOffTheConsole) {
    const auto tone = encodeTones({1000, 1000}, 8);
    av_log_set_callback(recordPrinted);
    {
        AudioDecoder decoder;
        AudioPacket bad{1, {0x00, 0x00}, {tone.units[0]}};
        EXPECT_FALSE(decoder.decode(bad));
        AudioPacket garbage{2, tone.cookie, {Bytes(200, 0xA5)}};
        decoder.decode(garbage);
    }
    av_log_set_callback(av_log_default_callback);
    const std::lock_guard lock(printedMutex);
    EXPECT_TRUE(printed.empty()) << printed.front();
}

TEST(AudioDecoder, FrameLengthFeedsTheJitterSchedule) {
    const auto tone = encodeTones({1000, 1000}, 8);
    AudioDecoder decoder;
    JitterSchedule schedule(PcmBuffer::sampleRate, 0.5);
    AudioPacket packet{1, tone.cookie, {tone.units[0], tone.units[1]}};
    const auto pcm = decoder.decode(packet);
    ASSERT_TRUE(pcm);
    EXPECT_EQ(schedule.place(pcm->frameLength(), 0),
              JitterSchedule::Decision{JitterSchedule::Play{4800}});
    EXPECT_EQ(schedule.ahead(), 4800 + 2048);
}

}  // namespace
}  // namespace quelm
