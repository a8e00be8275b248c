#pragma once

#include <optional>

namespace quelm {

// Thresholds of the trackpad gestures. Distances are in points of the companion's view,
// times in seconds, speeds in points per second.
struct GestureConfig {
    double pointerGain = 1.0;
    double scrollGain = 1.0;
    bool pointerAcceleration = true;
    // One-finger travel before the pointer starts to move.
    double moveStartDistance = 3.0;
    double tapMaxDuration = 0.2;
    double tapMaxTravel = 6.0;
    // Two-finger travel that decides for scrolling when translation dominates.
    double scrollDecisionDistance = 6.0;
    // Change of finger spread that decides for pinching.
    double pinchDecisionDistance = 20.0;
    // How much the spread change must outweigh the travel for a pinch.
    double pinchDominance = 1.5;
    // Two-finger travel that decides for scrolling in any case.
    double scrollCertainDistance = 40.0;
    bool allowsPinch = true;
    // A touch this soon after a tap starts a drag.
    double tapDragWindow = 0.3;
    // A still finger held this long starts a drag; absent turns holding off.
    std::optional<double> holdToDrag;
    double swipeDistance = 60.0;
    double accelerationStartSpeed = 120.0;
    double accelerationFullSpeed = 1000.0;
    double maxPointerBoost = 2.5;
    // Span of scroll samples behind the release velocity.
    double glideWindow = 0.1;
    // Longest pause before lifting that still glides.
    double glidePauseLimit = 0.1;
    double minGlideSpeed = 100.0;
    double maxGlideSpeed = 4000.0;

    friend bool operator==(const GestureConfig&, const GestureConfig&) = default;
};

}  // namespace quelm
