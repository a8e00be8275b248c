#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "QuelmCore/QualityPreset.hpp"

namespace quelm {

// The user's quality choice. `automatic` is the case whose raw value is "auto" (a C++ keyword).
enum class QualityMode { automatic, home, away, saver };

inline constexpr std::array<QualityMode, 4> allQualityModes{
    QualityMode::automatic, QualityMode::home, QualityMode::away, QualityMode::saver};

std::string_view rawValue(QualityMode mode);
std::optional<QualityMode> qualityMode(std::string_view raw);

// The preset to use: `automatic` takes `away` on an expensive network and `home` otherwise;
// every other mode names its preset.
QualityPreset resolve(QualityMode mode, bool onExpensiveNetwork);

}  // namespace quelm
