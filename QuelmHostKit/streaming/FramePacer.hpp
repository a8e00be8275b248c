#pragma once

namespace quelm {

// When a capture may take its next picture: no more than `fps` pictures a second in the long
// run, and a change taken as soon as it is noticed whenever that rate allows.
//
// A plain "at least 1/fps after the previous picture" loses against a source that changes at
// the frame rate: every late wake-up of the capture thread pushes the next turn back, the grabs
// slide through the source's period, a change waits half an interval on average and a frame is
// lost at each wrap. Here every picture books one interval on a schedule (`booked`) that runs
// ahead of the clock by at most one interval, so a picture may come early by up to an interval
// against the schedule (a source's phase or a late wake-up are absorbed) but never sooner than
// `minimumSpacing` of an interval after the previous one; any span of n intervals holds at most
// n + 2 pictures.
//
// Thread: not thread-safe; owned by the capture thread.
class FramePacer {
  public:
    static constexpr double minimumSpacing = 0.75;

    explicit FramePacer(int fps = 60) { setFps(fps); }

    // Values below 1 count as 1.
    void setFps(int fps);
    double interval() const { return interval_; }
    // The earliest time the next picture may be taken.
    double due() const;
    // A picture was taken at `now`.
    void took(double now);

  private:
    double interval_ = 1.0 / 60;
    double booked_ = -1e9;
    double last_ = -1e9;
};

}  // namespace quelm
