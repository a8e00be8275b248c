#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "QuelmCore/AudioPacket.hpp"
#include "QuelmCore/StreamConfig.hpp"
#include "QuelmCore/VideoFrame.hpp"

namespace quelm {

// The server's handle on the video and audio source. Every operation returns at once; the
// callbacks may come on any thread, also after stop() (the server drops what no longer belongs
// to its active companion).
// Calling order: start() then setAudio(); any number of acknowledge(), requestKeyFrame(),
// update() and setAudio(); stop() before the next start().
class ScreenStreaming {
  public:
    using FrameHandler = std::function<void(VideoFrame)>;
    // A short failure code such as "captureFailed".
    using ErrorHandler = std::function<void(std::string)>;
    using PacketHandler = std::function<void(AudioPacket)>;

    virtual ~ScreenStreaming() = default;

    // Captures the display chosen in the display selection with this configuration.
    virtual void start(const StreamConfig& config, FrameHandler onFrame, ErrorHandler onError) = 0;
    virtual void stop() = 0;
    // One frame in flight was delivered.
    virtual void acknowledge() = 0;
    virtual void requestKeyFrame() = 0;
    // Applies a new configuration to the running stream without a restart.
    virtual void update(const StreamConfig& config) = 0;
    // A positive rate and a handler start audio at that rate; 0 and no handler stop it.
    virtual void setAudio(std::int64_t kbps, PacketHandler onPacket) = 0;
    // A companion is connecting and may start a stream soon: a hint to get ready. Nothing by
    // default.
    virtual void prepare() {}
};

}  // namespace quelm
