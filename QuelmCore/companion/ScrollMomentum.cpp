#include "QuelmCore/companion/ScrollMomentum.hpp"

#include <cmath>

namespace quelm {

std::optional<ScrollMomentum::Step> ScrollMomentum::step(double dt) {
    // A velocity that is not finite would glide for ever in steps that are not numbers.
    if (!std::isfinite(vx) || !std::isfinite(vy) || std::hypot(vx, vy) < stopSpeed) {
        return std::nullopt;
    }
    double k = 1;
    if (dt > 0.05) {
        k = 0.8668778997501816;  // e^(-0.05 / timeConstant)
    } else if (dt > 0) {
        k = std::exp(-dt / timeConstant);
    }
    const Step moved{(1 - k) * timeConstant * vx, (1 - k) * timeConstant * vy};
    vx *= k;
    vy *= k;
    return moved;
}

}  // namespace quelm
