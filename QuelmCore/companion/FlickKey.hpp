#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "QuelmCore/companion/FlickDirection.hpp"
#include "QuelmCore/companion/FlickOutput.hpp"

namespace quelm {

// A key of the flick keyboard: up to five outputs, indexed by the raw value of the direction
// (center, left, up, right, down).
struct FlickKey {
    std::array<std::optional<FlickOutput>, 5> outputs;

    FlickKey() = default;
    // The given outputs, missing ones empty, beyond the fifth ignored.
    explicit FlickKey(const std::vector<std::optional<FlickOutput>>& outputs);
    // Each string a text output; an empty string an empty output.
    static FlickKey fromKana(const std::vector<std::string>& kana);

    const std::optional<FlickOutput>& output(FlickDirection direction) const;
    // The center output's label; the empty string when the center is empty.
    std::optional<std::string> label() const;
    // The texts one press steps through: text outputs in direction order, brackets left out.
    std::vector<std::string> toggleCycle() const;

    friend bool operator==(const FlickKey&, const FlickKey&) = default;
};

}  // namespace quelm
