#include "QuelmHostKit/codecs/AudioEncoder.hpp"

#include "QuelmCore/EsDescriptor.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace quelm {
namespace {

constexpr int kOutputRate = 48000;
constexpr int kFramesPerUnit = static_cast<int>(AudioPacket::framesPerPacket);
constexpr int kMaxInputChannels = 8;
constexpr int kMinInputRate = 8000;
constexpr int kMaxInputRate = 384000;
// FFmpeg's chatter about our own settings goes to its debug level, not to stderr.
constexpr int kLogLevelOffset = AV_LOG_DEBUG - AV_LOG_ERROR;

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
struct FifoDeleter {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

}  // namespace

// Everything made for one input format: the resampler to 48 kHz stereo planar float, the
// audio it has produced but the encoder has not yet taken (the pending input), and the AAC
// encoder with its configuration.
class AudioEncoder::Converter {
  public:
    static std::unique_ptr<Converter> make(int rate, int channels, std::int64_t kbps) {
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (aac == nullptr) {
            return nullptr;
        }
        auto c = std::unique_ptr<Converter>(new Converter(rate, channels));
        c->context_.reset(avcodec_alloc_context3(aac));
        c->frame_.reset(av_frame_alloc());
        c->packet_.reset(av_packet_alloc());
        AVCodecContext* ctx = c->context_.get();
        if (ctx == nullptr || !c->frame_ || !c->packet_) {
            return nullptr;
        }
        ctx->log_level_offset = kLogLevelOffset;
        ctx->sample_rate = kOutputRate;
        ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&ctx->ch_layout, 2);
        ctx->bit_rate = kbps * 1000;
        ctx->time_base = AVRational{1, kOutputRate};
        ctx->profile = FF_PROFILE_AAC_LOW;
        // Raw units on the wire; the configuration travels separately as the cookie.
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(ctx, aac, nullptr) < 0 || ctx->frame_size != kFramesPerUnit) {
            return nullptr;
        }

        AVChannelLayout input;
        av_channel_layout_default(&input, channels);
        SwrContext* swr = nullptr;
        int made = swr_alloc_set_opts2(&swr, &ctx->ch_layout, AV_SAMPLE_FMT_FLTP, kOutputRate,
                                       &input, AV_SAMPLE_FMT_FLT, rate, kLogLevelOffset, nullptr);
        av_channel_layout_uninit(&input);
        c->resampler_.reset(swr);
        if (made < 0 || swr_init(swr) < 0) {
            return nullptr;
        }
        c->fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, kFramesPerUnit * 4));
        if (!c->fifo_) {
            return nullptr;
        }
        return c;
    }

    bool matches(int rate, int channels) const { return rate == rate_ && channels == channels_; }

    // The AudioSpecificConfig the encoder reports, or empty.
    Bytes audioSpecificConfig() const {
        const AVCodecContext* ctx = context_.get();
        if (ctx->extradata == nullptr || ctx->extradata_size <= 0) {
            return {};
        }
        return Bytes(ctx->extradata, ctx->extradata + ctx->extradata_size);
    }

    // Converts the samples into pending input; false when the resampler refuses them.
    bool take(const AudioSamples& samples) {
        const int frames = static_cast<int>(samples.frames());
        const int room = swr_get_out_samples(resampler_.get(), frames);
        if (room < 0) {
            return false;
        }
        planes_[0].resize(static_cast<std::size_t>(room));
        planes_[1].resize(static_cast<std::size_t>(room));
        std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(planes_[0].data()),
                                reinterpret_cast<std::uint8_t*>(planes_[1].data())};
        const auto* in = reinterpret_cast<const std::uint8_t*>(samples.interleaved.data());
        const int converted = swr_convert(resampler_.get(), out, room, &in, frames);
        if (converted < 0) {
            return false;
        }
        return converted == 0 || av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out),
                                                     converted) == converted;
    }

    // Every unit the encoder yields for the pending input, in whole 1024-frame steps, stopping
    // short of `limit` units; what is left waits for the next call.
    std::vector<Bytes> encodePending(std::size_t limit) {
        std::vector<Bytes> units;
        while (units.size() + inFlight_ < limit &&
               av_audio_fifo_size(fifo_.get()) >= kFramesPerUnit) {
            AVFrame* f = frame_.get();
            av_frame_unref(f);
            f->nb_samples = kFramesPerUnit;
            f->format = AV_SAMPLE_FMT_FLTP;
            f->sample_rate = kOutputRate;
            if (av_channel_layout_copy(&f->ch_layout, &context_->ch_layout) < 0 ||
                av_frame_get_buffer(f, 0) < 0 ||
                av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(f->data),
                                   kFramesPerUnit) != kFramesPerUnit) {
                break;
            }
            f->pts = nextPts_;
            nextPts_ += kFramesPerUnit;
            if (avcodec_send_frame(context_.get(), f) < 0) {
                break;
            }
            ++inFlight_;
            receive(units);
        }
        receive(units);
        return units;
    }

  private:
    Converter(int rate, int channels) : rate_(rate), channels_(channels) {}

    void receive(std::vector<Bytes>& units) {
        AVPacket* p = packet_.get();
        while (avcodec_receive_packet(context_.get(), p) >= 0) {
            if (inFlight_ > 0) {
                --inFlight_;
            }
            // An empty unit carries nothing a decoder could use.
            if (p->size > 0 && p->size <= 65535) {
                units.emplace_back(p->data, p->data + p->size);
            }
            av_packet_unref(p);
        }
    }

    const int rate_;
    const int channels_;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> context_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::unique_ptr<SwrContext, ResamplerDeleter> resampler_;
    std::unique_ptr<AVAudioFifo, FifoDeleter> fifo_;
    std::array<std::vector<float>, 2> planes_;
    std::int64_t nextPts_ = 0;
    // Frames the encoder has taken whose units have not come out yet (its look-ahead).
    std::size_t inFlight_ = 0;
};

std::unique_ptr<AudioEncoder> AudioEncoder::create(std::int64_t kbps) {
    if (avcodec_find_encoder(AV_CODEC_ID_AAC) == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<AudioEncoder>(new AudioEncoder(kbps));
}

AudioEncoderFactory AudioEncoder::factory() {
    return [](std::int64_t kbps) -> std::unique_ptr<AudioEncoding> { return create(kbps); };
}

AudioEncoder::AudioEncoder(std::int64_t kbps) : kbps_(kbps) {}
AudioEncoder::~AudioEncoder() = default;

std::optional<AudioPacket> AudioEncoder::encode(const AudioSamples& samples) {
    const int rate = samples.sampleRate;
    const int channels = samples.channels;
    if (channels < 1 || channels > kMaxInputChannels || rate < kMinInputRate ||
        rate > kMaxInputRate || samples.frames() == 0 ||
        samples.frames() > static_cast<std::size_t>(rate) * 60) {
        return std::nullopt;
    }
    if (!converter_ || !converter_->matches(rate, channels)) {
        // A converter that cannot be made leaves the old one in place.
        auto fresh = Converter::make(rate, channels, kbps_);
        if (!fresh) {
            return std::nullopt;
        }
        converter_ = std::move(fresh);
        cookieSent_ = false;
    }
    if (!converter_->take(samples)) {
        return std::nullopt;
    }
    auto units = converter_->encodePending(maxUnitsPerPacket);
    if (units.empty()) {
        return std::nullopt;
    }
    Bytes cookie;
    if (!cookieSent_) {
        auto config = converter_->audioSpecificConfig();
        if (!config.empty()) {
            cookie = EsDescriptor::wrap(config);
            cookieSent_ = !cookie.empty();
        }
    }
    ++seq_;  // unsigned: wraps from 4294967295 to 0
    return AudioPacket{seq_, std::move(cookie), std::move(units)};
}

}  // namespace quelm
