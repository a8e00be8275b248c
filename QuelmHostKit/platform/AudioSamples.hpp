#pragma once

#include <span>

namespace quelm {

// A run of captured system audio: interleaved 32-bit float PCM. Valid only during the call
// that hands it over.
struct AudioSamples {
    std::span<const float> interleaved;
    int sampleRate = 48000;
    int channels = 2;
    // The first run of a new recording: whatever came before is unrelated to it (the sound
    // server was reached anew), so its encoding starts afresh.
    bool fresh = false;

    std::size_t frames() const {
        return channels > 0 ? interleaved.size() / static_cast<std::size_t>(channels) : 0;
    }
};

}  // namespace quelm
