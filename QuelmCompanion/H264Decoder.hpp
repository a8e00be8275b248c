#pragma once

#include <memory>
#include <optional>

#include "QuelmCore/VideoFrame.hpp"

struct AVFrame;

namespace quelm {

// Decodes the host's video frames with libavcodec. Frames arrive with length-prefixed NAL units
// and, on key frames, bare parameter sets; the decoder is fed Annex B.
class H264Decoder final {
  public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // True when the frame decoded to a picture; latest() then holds it.
    bool decode(const VideoFrame& frame);
    // The last decoded picture (owned by the decoder), or null.
    const AVFrame* latest() const;

  private:
    class Codec;
    std::unique_ptr<Codec> codec_;
};

}  // namespace quelm
