#include "QuelmHostKit/streaming/AckForecast.hpp"

#include <algorithm>

namespace quelm {

void AckForecast::sent(double now) {
    if (outstanding_.size() == maxOutstanding) {
        outstanding_.pop_front();
    }
    outstanding_.push_back(now);
}

void AckForecast::acknowledged(double now) {
    if (outstanding_.empty()) {
        return;  // a late answer to a frame the gate already gave up on
    }
    const double took = std::max(now - outstanding_.front(), 0.0);
    outstanding_.pop_front();
    roundTrip_ = learned_ ? roundTrip_ + weight * (took - roundTrip_) : took;
    learned_ = true;
}

std::optional<double> AckForecast::nextAcknowledgement() const {
    if (!learned_ || outstanding_.empty()) {
        return std::nullopt;
    }
    return outstanding_.front() + roundTrip_;
}

std::optional<double> AckForecast::roundTrip() const {
    return learned_ ? std::optional<double>(roundTrip_) : std::nullopt;
}

}  // namespace quelm
