#pragma once

#include "QuelmHostKit/streaming/ScreenStreaming.hpp"

namespace quelm {

// Stands in for the screen capture until it is wired in: accepts every call and streams
// nothing, so a companion can connect and authenticate but sees no picture.
class IdleScreenStreaming final : public ScreenStreaming {
  public:
    void start(const StreamConfig&, FrameHandler, ErrorHandler) override {}
    void stop() override {}
    void acknowledge() override {}
    void requestKeyFrame() override {}
    void update(const StreamConfig&) override {}
    void setAudio(std::int64_t, PacketHandler) override {}
};

}  // namespace quelm
