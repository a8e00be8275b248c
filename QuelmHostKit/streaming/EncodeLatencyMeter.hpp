#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelmHostKit/streaming/VideoEncoding.hpp"

namespace quelm {

// Measures how long the host takes from noticing a screen change to handing its frame to the
// server, stage by stage, and logs the medians and 95th percentiles every few seconds
// ("video latency: "). Wraps the encoders the pipeline makes, which stamp the frames they
// return; refinements of a picture already measured are not counted.
//
// Thread-safe: completions arrive on encoder threads.
class EncodeLatencyMeter final : public std::enable_shared_from_this<EncodeLatencyMeter> {
  public:
    static constexpr double window = 5.0;

    static std::shared_ptr<EncodeLatencyMeter> make();
    // Encoders of `factory` that stamp their frames with the picture's capture times and
    // their own.
    VideoEncoderFactory wrap(VideoEncoderFactory factory);

    // One frame that went all the way; frames without a change time are ignored.
    void record(const FrameTimes& times);

  private:
    // change→encoded, read→encoded, change→sent, then one per stage.
    static constexpr std::size_t kSeries = 9;

    EncodeLatencyMeter() = default;

    std::mutex mutex_;
    std::array<std::vector<double>, kSeries> series_;
    double windowStart_ = 0;
};

}  // namespace quelm
