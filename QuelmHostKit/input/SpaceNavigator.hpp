#pragma once

#include <limits>
#include <optional>

namespace quelm {

// Decides whether a workspace switch may go ahead. Switches that follow each other quickly
// count from where the last one aimed, not from what the window manager reports, since the
// manager may not have finished the last switch yet.
class SpaceNavigator {
  public:
    // How long, in seconds, the aimed-at workspace is trusted over the reported one.
    static constexpr double predictionLifetime = 1.0;

    // `current` and `count` as reported; `now` in seconds of uptime. Refuses a switch past the
    // first or last workspace and then changes nothing.
    bool approve(bool toRight, int current, int count, double now);

  private:
    std::optional<int> predicted_;
    double lastSwitch_ = -std::numeric_limits<double>::infinity();
};

}  // namespace quelm
