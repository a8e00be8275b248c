#include "QuelmCore/companion/FlickDirection.hpp"

#include <cmath>

namespace quelm {

FlickDirection flickDirection(double dx, double dy, double threshold) {
    // Written so that a swipe that is not a number stays in the center.
    if (!(std::hypot(dx, dy) >= threshold)) {
        return FlickDirection::center;
    }
    if (std::abs(dy) <= std::abs(dx)) {
        return dx < 0 ? FlickDirection::left : FlickDirection::right;
    }
    return dy < 0 ? FlickDirection::up : FlickDirection::down;
}

}  // namespace quelm
