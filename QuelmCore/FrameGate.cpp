#include "QuelmCore/FrameGate.hpp"

namespace quelm {

FrameGate::Decision FrameGate::evaluate(double now) {
    if (inflight_ < limit_) {
        return Decision::send;
    }
    // Strictly greater: at exactly `timeout` the sender still waits; NaN compares false.
    if (now - lastSend_ > timeout_) {
        inflight_ = 0;
        return Decision::sendAfterReset;
    }
    return Decision::wait;
}

void FrameGate::markSent(double now) {
    ++inflight_;
    lastSend_ = now;
}

void FrameGate::acknowledge() {
    if (inflight_ > 0) {
        --inflight_;
    }
}

}  // namespace quelm
