#pragma once

#include <cstdint>
#include <optional>

namespace quelm {

// Turns a lone, short tap of a command key on a hardware keyboard into the JIS input-mode keys:
// the left command key gives eisu, the right one kana.
struct SoloCommandTap {
    // Longest hold (s) that still counts as a tap.
    static constexpr double maxDuration = 0.6;

    std::optional<std::uint16_t> candidate;
    double since = 0;

    void keyDown(std::uint16_t code, double at);
    // The input-mode key to send, or nothing.
    std::optional<std::uint16_t> keyUp(std::uint16_t code, double at);
};

}  // namespace quelm
