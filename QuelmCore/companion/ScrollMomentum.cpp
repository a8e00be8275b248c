#include "QuelmCore/companion/ScrollMomentum.hpp"

#include <cmath>

namespace quelm {

std::optional<ScrollMomentum::Step> ScrollMomentum::step(double dt) {
    // Written so that a velocity that is not a number ends the glide instead of running forever.
    if (!(std::hypot(vx, vy) >= stopSpeed)) {
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
