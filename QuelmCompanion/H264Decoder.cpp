#include "QuelmCompanion/H264Decoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace quelm {

class H264Decoder::Codec {
  public:
    Codec() {
        const AVCodec* h264 = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (h264 == nullptr) {
            return;
        }
        context_ = avcodec_alloc_context3(h264);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        latest_ = av_frame_alloc();
        if (context_ == nullptr || packet_ == nullptr || frame_ == nullptr || latest_ == nullptr) {
            return;
        }
        // A frame is shown as soon as it arrives: no reordering delay, no frame threads.
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        context_->thread_count = 1;
        open_ = avcodec_open2(context_, h264, nullptr) >= 0;
    }

    ~Codec() {
        av_frame_free(&latest_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }

    bool decode(const VideoFrame& frame) {
        if (!open_ || !annexB(frame)) {
            return false;
        }
        if (av_new_packet(packet_, static_cast<int>(buffer_.size())) < 0) {
            return false;
        }
        std::copy(buffer_.begin(), buffer_.end(), packet_->data);
        if (frame.isKey) {
            packet_->flags |= AV_PKT_FLAG_KEY;
        }
        int sent = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        if (sent < 0) {
            return false;
        }
        bool got = false;
        while (avcodec_receive_frame(context_, frame_) >= 0) {
            av_frame_unref(latest_);
            av_frame_move_ref(latest_, frame_);
            got = true;
        }
        return got;
    }

    const AVFrame* latest() const {
        return latest_ != nullptr && latest_->data[0] ? latest_ : nullptr;
    }

  private:
    // Start codes instead of the 4-byte lengths; false when a length runs past the payload.
    bool annexB(const VideoFrame& frame) {
        static constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
        buffer_.clear();
        for (const auto& set : frame.parameterSets) {
            buffer_.insert(buffer_.end(), std::begin(startCode), std::end(startCode));
            buffer_.insert(buffer_.end(), set.begin(), set.end());
        }
        const auto& p = frame.payload;
        std::size_t at = 0;
        while (at + 4 <= p.size()) {
            std::size_t length = (std::size_t(p[at]) << 24) | (std::size_t(p[at + 1]) << 16) |
                                 (std::size_t(p[at + 2]) << 8) | std::size_t(p[at + 3]);
            at += 4;
            if (length > p.size() - at) {
                return false;
            }
            buffer_.insert(buffer_.end(), std::begin(startCode), std::end(startCode));
            buffer_.insert(buffer_.end(), p.begin() + static_cast<std::ptrdiff_t>(at),
                           p.begin() + static_cast<std::ptrdiff_t>(at + length));
            at += length;
        }
        return at == p.size() && !buffer_.empty();
    }

    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVFrame* latest_ = nullptr;
    bool open_ = false;
    Bytes buffer_;
};

H264Decoder::H264Decoder() : codec_(std::make_unique<Codec>()) {}
H264Decoder::~H264Decoder() = default;

bool H264Decoder::decode(const VideoFrame& frame) {
    return codec_->decode(frame);
}

const AVFrame* H264Decoder::latest() const {
    return codec_->latest();
}

}  // namespace quelm
