#include "QuelmHostKit/streaming/FramePacer.hpp"

#include <algorithm>

namespace quelm {

void FramePacer::setFps(int fps) {
    interval_ = 1.0 / std::max(fps, 1);
}

double FramePacer::due() const {
    return std::max(booked_ - interval_, last_ + minimumSpacing * interval_);
}

void FramePacer::took(double now) {
    // After an idle spell the schedule restarts from now: idle time is not saved up.
    booked_ = std::max(booked_, now) + interval_;
    last_ = now;
}

}  // namespace quelm
