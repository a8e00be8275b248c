#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "QuelmCore/AudioPacket.hpp"
#include "QuelmHostKit/platform/AudioSamples.hpp"

namespace quelm {

// Turns captured PCM into AAC packets. Used on one queue at a time.
class AudioEncoding {
  public:
    virtual ~AudioEncoding() = default;
    virtual std::int64_t kbps() const = 0;
    // A packet when at least one AAC unit came out of these samples.
    virtual std::optional<AudioPacket> encode(const AudioSamples& samples) = 0;
};

// Makes an encoder for a bit rate in kbit/s; nothing when the codec refuses it.
using AudioEncoderFactory = std::function<std::unique_ptr<AudioEncoding>(std::int64_t kbps)>;

}  // namespace quelm
