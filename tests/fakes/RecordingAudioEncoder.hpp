#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelmHostKit/streaming/AudioEncoding.hpp"

namespace quelm::test {

// Hands out audio encoders that make one packet per call (its first with a cookie) and records
// every creation and the frames each encode got. Thread-safe; the encoders may outlive it.
class RecordingAudioEncoder {
  public:
    RecordingAudioEncoder();

    AudioEncoderFactory factory() const;
    // While set, the factory returns nothing.
    void setCreationFails(bool fails);

    // The bit rate of each encoder made, in order.
    std::vector<std::int64_t> creations() const;
    // Sample frames handed to encode(), per call.
    std::vector<std::size_t> encodedFrames() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace quelm::test
