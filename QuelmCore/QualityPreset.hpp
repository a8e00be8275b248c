#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "QuelmCore/StreamConfig.hpp"

namespace quelm {

// The quality choices the companion offers: each stands for one stream configuration and one
// audio bit rate. The raw value is the JSON and storage form.
enum class QualityPreset { home, away, saver };

inline constexpr std::array<QualityPreset, 3> allQualityPresets{
    QualityPreset::home, QualityPreset::away, QualityPreset::saver};

std::string_view rawValue(QualityPreset preset);
std::optional<QualityPreset> qualityPreset(std::string_view raw);

StreamConfig config(QualityPreset preset);
int audioKbps(QualityPreset preset);
// Data volume of one hour of video at the preset's bit rate, in gigabytes.
double maxGigabytesPerHour(QualityPreset preset);
// The display name in the current language; the Japanese text is the key.
std::string title(QualityPreset preset);

}  // namespace quelm
