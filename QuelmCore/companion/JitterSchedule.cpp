#include "QuelmCore/companion/JitterSchedule.hpp"

#include <algorithm>
#include <cmath>

namespace quelm {
namespace {

// A product of rate and seconds in frames, truncated towards zero. Values that are not a number
// or beyond ±2^53 are bounded, so that converting them is defined and later sums cannot overflow.
std::int64_t frames(double value) {
    constexpr double limit = 9007199254740992.0;  // 2^53
    if (std::isnan(value)) {
        return 0;
    }
    return static_cast<std::int64_t>(std::clamp(value, -limit, limit));
}

}  // namespace

JitterSchedule::JitterSchedule(double sampleRate, double maxDelay)
    : minCushion_(frames(sampleRate * 0.06)),
      maxCushion_(std::max(frames(sampleRate * maxDelay), minCushion_)),
      step_(frames(sampleRate * 0.06)),
      slack_(frames(sampleRate * 0.12)),
      calm_(frames(sampleRate * 15)),
      cushion_(frames(sampleRate * 0.1)) {}

JitterSchedule::Decision JitterSchedule::place(std::int64_t count, std::int64_t now) {
    if (!next_) {
        return anchor(count, now);
    }
    if (*next_ < now) {
        // Underrun: what was scheduled ran out before this packet came.
        ++dropouts_;
        cushion_ = std::min(cushion_ + step_, maxCushion_);
        return anchor(count, now);
    }
    if (now - lastTrouble_ >= calm_ && cushion_ > minCushion_) {
        cushion_ = std::max(cushion_ - step_ / 2, minCushion_);
        lastTrouble_ = now;
    }
    const std::int64_t backlog = *next_ - now;
    if (backlog > cushion_ + slack_) {
        ++dropped_;
        ahead_ = backlog;
        return Drop{};
    }
    const std::int64_t start = *next_;
    next_ = start + count;
    ahead_ = *next_ - now;
    return Play{start};
}

void JitterSchedule::reset() {
    next_.reset();
    ahead_ = 0;
}

JitterSchedule::Play JitterSchedule::anchor(std::int64_t count, std::int64_t now) {
    lastTrouble_ = now;
    const std::int64_t start = now + cushion_;
    next_ = start + count;
    ahead_ = *next_ - now;
    return Play{start};
}

}  // namespace quelm
