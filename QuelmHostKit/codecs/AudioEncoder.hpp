#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "QuelmHostKit/streaming/AudioEncoding.hpp"

namespace quelm {

// Captured PCM to AAC-LC with FFmpeg's native encoder: 48 kHz stereo, 1024 frames per unit, an
// average bit rate of kbps x 1000. Input of any rate and channel count goes through a converter
// made for that format; a new input format gets a new converter and encoder, and the next
// packet carries the cookie again. The cookie (the AudioSpecificConfig in an MPEG-4 elementary
// stream descriptor) travels once per converter. Sequence numbers start at 1 per encoder.
//
// Single owner, one queue at a time.
class AudioEncoder final : public AudioEncoding {
  public:
    // The most units one packet can carry; further audio waits for the next call.
    static constexpr std::size_t maxUnitsPerPacket = 255;

    // Nothing when FFmpeg has no AAC encoder.
    static std::unique_ptr<AudioEncoder> create(std::int64_t kbps);
    static AudioEncoderFactory factory();

    ~AudioEncoder() override;

    std::int64_t kbps() const override { return kbps_; }
    std::optional<AudioPacket> encode(const AudioSamples& samples) override;

    // The sequence number of the last packet returned; 0 before the first.
    std::uint32_t lastSeq() const { return seq_; }
    // Starts numbering after `seq`, to exercise the wrap-around.
    void continueAfter(std::uint32_t seq) { seq_ = seq; }

  private:
    class Converter;

    explicit AudioEncoder(std::int64_t kbps);

    const std::int64_t kbps_;
    std::unique_ptr<Converter> converter_;
    std::uint32_t seq_ = 0;
    bool cookieSent_ = false;
};

}  // namespace quelm
