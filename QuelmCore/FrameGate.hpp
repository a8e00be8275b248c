#pragma once

namespace quelm {

// Counts video frames sent but not yet acknowledged. When `limit` frames are out and more than
// `timeout` seconds have passed since the last one was committed, the sender stops waiting and
// starts counting from zero. A plain value: the owner serialises access.
class FrameGate {
  public:
    enum class Decision { wait, send, sendAfterReset };

    FrameGate(int limit, double timeout) : limit_(limit), timeout_(timeout) {}

    // May change the gate: a time-out clears `inflight`.
    Decision evaluate(double now);
    // The caller committed to a frame at `now` (same clock as evaluate).
    void markSent(double now);
    // Any acknowledgement frees one slot; never below zero.
    void acknowledge();
    // Clears `inflight`; `lastSend` stays.
    void reset() { inflight_ = 0; }

    int limit() const { return limit_; }
    double timeout() const { return timeout_; }
    int inflight() const { return inflight_; }
    double lastSend() const { return lastSend_; }

  private:
    int limit_;
    double timeout_;
    int inflight_ = 0;
    double lastSend_ = 0;
};

}  // namespace quelm
