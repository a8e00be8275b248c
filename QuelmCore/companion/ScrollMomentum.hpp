#pragma once

#include <optional>

namespace quelm {

// Turns a scroll's release velocity into exponentially decaying glide steps.
struct ScrollMomentum {
    // Decay time constant of the velocity, in seconds.
    static constexpr double timeConstant = 0.35;
    // Below this speed (points/s) the glide is over.
    static constexpr double stopSpeed = 25.0;

    struct Step {
        double dx = 0;
        double dy = 0;
        friend bool operator==(const Step&, const Step&) = default;
    };

    double vx = 0;
    double vy = 0;

    // The displacement for the next dt seconds, or nothing when the glide is over (also for a
    // velocity that is not finite). Steps longer than 0.05 s decay as one of 0.05 s, so a
    // stalled display loop does not jump far ahead.
    std::optional<Step> step(double dt);
};

}  // namespace quelm
