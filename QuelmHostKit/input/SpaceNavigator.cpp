#include "QuelmHostKit/input/SpaceNavigator.hpp"

namespace quelm {

bool SpaceNavigator::approve(bool toRight, int current, int count, double now) {
    const int base = predicted_ && now - lastSwitch_ < predictionLifetime ? *predicted_ : current;
    const int target = toRight ? base + 1 : base - 1;
    if (target < 0 || target >= count) {
        return false;
    }
    predicted_ = target;
    lastSwitch_ = now;
    return true;
}

}  // namespace quelm
