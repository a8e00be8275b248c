#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "QuelmHostKit/streaming/VideoEncoding.hpp"

namespace quelm {

// Measures how long the host takes from noticing a screen change (and from reading the screen)
// to having its frame encoded, and logs the medians and 95th percentiles every few seconds
// ("video latency: "). Wraps the encoders the pipeline makes; refinements of a picture already
// measured are not counted.
//
// Thread-safe: completions arrive on encoder threads.
class EncodeLatencyMeter final : public std::enable_shared_from_this<EncodeLatencyMeter> {
  public:
    static constexpr double window = 5.0;

    static std::shared_ptr<EncodeLatencyMeter> make();
    // Encoders of `factory` that report to this meter.
    VideoEncoderFactory wrap(VideoEncoderFactory factory);

    // One measured frame: the picture's change was noticed at `changedAt`, the screen read at
    // `grabbedAt`, the frame encoded at `now`.
    void record(double changedAt, double grabbedAt, double now);

  private:
    EncodeLatencyMeter() = default;

    std::mutex mutex_;
    std::vector<double> sinceChange_;
    std::vector<double> sinceGrab_;
    double windowStart_ = 0;
};

}  // namespace quelm
