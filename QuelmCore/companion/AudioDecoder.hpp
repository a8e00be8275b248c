#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "QuelmCore/AudioPacket.hpp"

namespace quelm {

// Decoded audio in the player's standard format: 48000 Hz, two channels, 32-bit float samples
// in one plane per channel (deinterleaved, left then right), nominally -1 to 1.
struct PcmBuffer {
    static constexpr double sampleRate = 48000.0;
    static constexpr std::size_t channelCount = 2;

    std::array<std::vector<float>, channelCount> channels;

    // Sample frames per channel: the length handed to JitterSchedule::place.
    std::int64_t frameLength() const { return static_cast<std::int64_t>(channels[0].size()); }
};

// Turns the AAC units of the host's audio packets into PCM with FFmpeg's AAC decoder. The
// packet's cookie, an AudioSpecificConfig either bare or inside an elementary-stream
// descriptor, becomes the decoder's configuration; a decoder is built for the first packet and
// again whenever a packet carries a cookie. Without any cookie the stream is taken as 48 kHz
// stereo AAC-LC; after a refused cookie, packets give nothing until a usable cookie or reset().
//
// Single owner, single thread.
class AudioDecoder final {
  public:
    AudioDecoder();
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // Nothing for a packet without units, a configuration the decoder refuses, or units that
    // do not decode.
    std::optional<PcmBuffer> decode(const AudioPacket& packet);
    // Drops the decoder and any refusal; the next packet builds a new decoder.
    void reset();

  private:
    class Codec;
    std::unique_ptr<Codec> codec_;
    bool refused_ = false;
};

}  // namespace quelm
