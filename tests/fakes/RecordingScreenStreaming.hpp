#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "QuelmHostKit/streaming/ScreenStreaming.hpp"

namespace quelm::test {

// Records every call as a short text ("start 1920x6x30", "setAudio 0", "stop", "ack",
// "keyFrame", "update 1280x3x30") and keeps the latest handlers, so a test can deliver frames,
// packets and errors as the real source would, from any thread. Thread-safe.
class RecordingScreenStreaming final : public ScreenStreaming {
  public:
    void start(const StreamConfig& config, FrameHandler onFrame, ErrorHandler onError) override;
    void stop() override;
    void acknowledge() override;
    void requestKeyFrame() override;
    void update(const StreamConfig& config) override;
    void setAudio(std::int64_t kbps, PacketHandler onPacket) override;

    std::vector<std::string> calls() const;
    void clear();
    // Waits until `count` calls have been recorded in total.
    bool waitForCalls(std::size_t count, double seconds = 2.0) const;

    // Calls the handlers of the latest start()/setAudio(); false when there are none.
    bool deliverFrame(const VideoFrame& frame) const;
    bool deliverError(const std::string& error) const;
    bool deliverPacket(const AudioPacket& packet) const;

    // The frame handler of the latest start(), kept by a test to play a late frame.
    FrameHandler frameHandler() const;

    static std::string describe(const StreamConfig& config);

  private:
    void record(std::string call);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> calls_;
    FrameHandler onFrame_;
    ErrorHandler onError_;
    PacketHandler onPacket_;
};

}  // namespace quelm::test
