#pragma once

#include <functional>
#include <string>

#include "QuelmHostKit/platform/AudioSamples.hpp"
#include "QuelmHostKit/platform/CaptureStatus.hpp"

namespace quelm {

// What the machine plays (the default output's monitor), without the host's own sound, at 48 kHz
// stereo float. Samples arrive on the source's own thread.
class SystemAudioSource {
  public:
    using SamplesHandler = std::function<void(const AudioSamples&)>;
    // The source stopped on its own (the sound server went away); the description is for the log.
    using StopHandler = std::function<void(std::string description)>;

    virtual ~SystemAudioSource() = default;

    // Blocks until audio flows or the attempt failed; call it off the logic's queues.
    virtual CaptureStatus start(SamplesHandler onSamples, StopHandler onStop) = 0;
    // Returns once no handler runs any more.
    virtual void stop() = 0;
};

}  // namespace quelm
