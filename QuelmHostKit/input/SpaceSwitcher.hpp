#pragma once

#include "QuelmHostKit/input/SpaceNavigator.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm {

// Switches to the workspace on the left or right of the current one. Touched only from the
// input injector's queue.
class SpaceSwitcher final {
  public:
    // `now` in seconds of uptime.
    void move(bool toRight, EventPoster& poster, double now);

  private:
    SpaceNavigator navigator_;
};

}  // namespace quelm
