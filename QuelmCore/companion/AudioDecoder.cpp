#include "QuelmCore/companion/AudioDecoder.hpp"

#include <cstring>

#include "QuelmCore/EsDescriptor.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace quelm {
namespace {

constexpr int kOutputRate = 48000;

// FFmpeg writes a decoder's complaints about its input straight to stderr. They are about the
// stream, not the program, and a refusal already shows as nothing decoded, so they go down to
// the debug levels, for this decoder only.
constexpr int kLogLevelOffset = AV_LOG_DEBUG;

// The AudioSpecificConfig a cookie carries, bare or inside an elementary-stream descriptor. A
// bare configuration never begins with the descriptor's tag: that would be object type 0.
std::optional<Bytes> audioSpecificConfig(const Bytes& cookie) {
    if (!cookie.empty() && cookie[0] == EsDescriptor::esTag) {
        return EsDescriptor::unwrap(cookie);
    }
    return cookie;
}

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ResamplerDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};

bool isOutputFormat(const AVFrame& frame) {
    return frame.format == AV_SAMPLE_FMT_FLTP && frame.sample_rate == kOutputRate &&
           frame.ch_layout.nb_channels == 2;
}

}  // namespace

// One FFmpeg decoder with its configuration, and a converter for decoded audio that is not
// already 48 kHz stereo planar float.
class AudioDecoder::Codec {
  public:
    static std::unique_ptr<Codec> make(const Bytes& cookie) {
        const AVCodec* aac = avcodec_find_decoder(AV_CODEC_ID_AAC);
        if (aac == nullptr) {
            return nullptr;
        }
        auto codec = std::unique_ptr<Codec>(new Codec);
        codec->context_.reset(avcodec_alloc_context3(aac));
        codec->frame_.reset(av_frame_alloc());
        codec->packet_.reset(av_packet_alloc());
        AVCodecContext* c = codec->context_.get();
        if (c == nullptr || !codec->frame_ || !codec->packet_) {
            return nullptr;
        }
        c->log_level_offset = kLogLevelOffset;
        c->sample_rate = kOutputRate;
        av_channel_layout_default(&c->ch_layout, 2);
        if (!cookie.empty()) {
            // The decoder reads past the end in whole words, hence the zeroed padding.
            c->extradata = static_cast<std::uint8_t*>(
                av_mallocz(cookie.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (c->extradata == nullptr) {
                return nullptr;
            }
            std::memcpy(c->extradata, cookie.data(), cookie.size());
            c->extradata_size = static_cast<int>(cookie.size());
        }
        if (avcodec_open2(c, aac, nullptr) < 0) {
            return nullptr;
        }
        return codec;
    }

    ~Codec() { av_channel_layout_uninit(&resampledLayout_); }

    std::optional<PcmBuffer> decode(const std::vector<Bytes>& units) {
        PcmBuffer pcm;
        for (const auto& unit : units) {
            if (!send(unit) || !drain(pcm)) {
                return std::nullopt;
            }
        }
        if (pcm.frameLength() == 0) {
            return std::nullopt;
        }
        return pcm;
    }

  private:
    Codec() = default;

    bool send(const Bytes& unit) {
        AVPacket* p = packet_.get();
        av_packet_unref(p);
        if (unit.empty() || av_new_packet(p, static_cast<int>(unit.size())) < 0) {
            return false;
        }
        std::memcpy(p->data, unit.data(), unit.size());
        return avcodec_send_packet(context_.get(), p) >= 0;
    }

    bool drain(PcmBuffer& pcm) {
        while (true) {
            const int result = avcodec_receive_frame(context_.get(), frame_.get());
            if (result == AVERROR(EAGAIN)) {
                return true;
            }
            if (result < 0) {
                return false;
            }
            const bool appended = append(*frame_, pcm);
            av_frame_unref(frame_.get());
            if (!appended) {
                return false;
            }
        }
    }

    bool append(const AVFrame& frame, PcmBuffer& pcm) {
        if (frame.nb_samples <= 0) {
            return true;
        }
        if (isOutputFormat(frame)) {
            for (std::size_t ch = 0; ch < PcmBuffer::channelCount; ++ch) {
                const auto* plane = reinterpret_cast<const float*>(frame.extended_data[ch]);
                pcm.channels[ch].insert(pcm.channels[ch].end(), plane, plane + frame.nb_samples);
            }
            return true;
        }
        return convert(frame, pcm);
    }

    bool convert(const AVFrame& frame, PcmBuffer& pcm) {
        if (!resampler_ || frame.format != resampledFormat_ ||
            frame.sample_rate != resampledRate_ ||
            av_channel_layout_compare(&frame.ch_layout, &resampledLayout_) != 0) {
            if (!configureResampler(frame)) {
                return false;
            }
        }
        const int room = swr_get_out_samples(resampler_.get(), frame.nb_samples);
        if (room <= 0) {
            return room == 0;
        }
        const auto start = pcm.channels[0].size();
        for (auto& channel : pcm.channels) {
            channel.resize(start + static_cast<std::size_t>(room));
        }
        std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(pcm.channels[0].data() + start),
                                reinterpret_cast<std::uint8_t*>(pcm.channels[1].data() + start)};
        const int made =
            swr_convert(resampler_.get(), out, room,
                        const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
        if (made < 0) {
            return false;
        }
        for (auto& channel : pcm.channels) {
            channel.resize(start + static_cast<std::size_t>(made));
        }
        return true;
    }

    bool configureResampler(const AVFrame& frame) {
        resampler_.reset();
        av_channel_layout_uninit(&resampledLayout_);
        SwrContext* swr = nullptr;
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        // This FFmpeg takes the layouts as non-const pointers but only reads them.
        auto* input = const_cast<AVChannelLayout*>(&frame.ch_layout);
        if (swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_FLTP, kOutputRate, input,
                                static_cast<AVSampleFormat>(frame.format), frame.sample_rate,
                                kLogLevelOffset, nullptr) < 0) {
            return false;
        }
        resampler_.reset(swr);
        if (swr_init(swr) < 0 || av_channel_layout_copy(&resampledLayout_, &frame.ch_layout) < 0) {
            resampler_.reset();
            return false;
        }
        resampledFormat_ = frame.format;
        resampledRate_ = frame.sample_rate;
        return true;
    }

    std::unique_ptr<AVCodecContext, CodecContextDeleter> context_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::unique_ptr<SwrContext, ResamplerDeleter> resampler_;
    int resampledFormat_ = -1;
    int resampledRate_ = 0;
    AVChannelLayout resampledLayout_{};
};

AudioDecoder::AudioDecoder() = default;
AudioDecoder::~AudioDecoder() = default;

std::optional<PcmBuffer> AudioDecoder::decode(const AudioPacket& packet) {
    if (packet.units.empty()) {
        return std::nullopt;
    }
    if (!packet.cookie.empty()) {
        const auto config = audioSpecificConfig(packet.cookie);
        codec_ = config ? Codec::make(*config) : nullptr;
        // Packets after a refused configuration are not decoded under a guessed one.
        refused_ = !codec_;
    } else if (!codec_ && !refused_) {
        codec_ = Codec::make({});
    }
    if (!codec_) {
        return std::nullopt;
    }
    return codec_->decode(packet.units);
}

void AudioDecoder::reset() {
    codec_.reset();
    refused_ = false;
}

}  // namespace quelm
