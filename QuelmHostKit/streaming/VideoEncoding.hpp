#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/StreamConfig.hpp"
#include "QuelmHostKit/platform/PixelBuffer.hpp"

namespace quelm {

// The unpacked result of one encode.
struct EncodedFrame {
    bool isKey = false;
    // Key frames: sequence then picture parameter set, bare NAL units. Empty otherwise.
    std::vector<Bytes> parameterSets;
    // NAL units, each preceded by its length as 4 bytes big-endian.
    Bytes payload;
    // Stamped by a measuring wrapper for latency figures; all 0 otherwise.
    FrameTimes times;

    friend bool operator==(const EncodedFrame&, const EncodedFrame&) = default;
};

namespace EncodeOutcomes {
struct Frame {
    EncodedFrame frame;
};
struct Failed {
    std::int32_t status;
};
struct Dropped {};
}  // namespace EncodeOutcomes

using EncodeOutcome =
    std::variant<EncodeOutcomes::Frame, EncodeOutcomes::Failed, EncodeOutcomes::Dropped>;

// Status values of a failed encode.
inline constexpr std::int32_t kEncoderInvalidSession = -12903;
inline constexpr std::int32_t kEncoderMalfunction = -12912;

// What one encode is asked for.
struct EncodeRequest {
    // The picture must come out as a key (IDR) frame.
    bool forceKey = false;
    // The picture is the previous one again, sent to sharpen a still screen: it should come out
    // finer than the last encode, which rate control alone would not do for an unchanged picture.
    bool refinement = false;
};

// One H.264 session of a fixed picture size, driven from the video pipeline's queue.
class VideoEncoding {
  public:
    using Completion = std::function<void(EncodeOutcome)>;

    virtual ~VideoEncoding() = default;

    // Submits one picture. The completion runs exactly once: usually later on the encoder's own
    // thread; synchronously, before encode returns, when the session is gone or refuses the frame.
    virtual void encode(PixelBufferRef buffer, EncodeRequest request, Completion completion) = 0;
    // Ends the session; later encodes fail at once with kEncoderInvalidSession.
    virtual void invalidate() = 0;
};

// Makes an encoder for a picture size and configuration, or nothing when no session can be made.
using VideoEncoderFactory = std::function<std::unique_ptr<VideoEncoding>(
    int width, int height, const StreamConfig& config)>;

}  // namespace quelm
