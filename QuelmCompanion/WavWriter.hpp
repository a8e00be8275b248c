#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "QuelmCore/companion/AudioDecoder.hpp"

namespace quelm {

// Writes decoded sound as a 16-bit PCM WAV file at 48 kHz stereo. The header's sizes are
// brought up to date after every append, so the file is readable while it grows.
class WavWriter final {
  public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path);
    bool append(const PcmBuffer& pcm);
    std::uint64_t frames() const { return frames_; }

  private:
    bool writeHeader();

    std::FILE* file_ = nullptr;
    std::uint64_t frames_ = 0;
};

}  // namespace quelm
