#include "QuelmCore/QualityPreset.hpp"

#include "QuelmCore/Localized.hpp"

namespace quelm {
namespace {

struct PresetValues {
    std::string_view raw;
    std::string_view titleKey;
    StreamConfig config;
    int audioKbps;
    double gigabytesPerHour;
};

const PresetValues& values(QualityPreset preset) {
    static const PresetValues table[] = {
        {"home", "自宅Wi-Fi", {2560, 15.0, 30}, 128, 6750.0 / 1000},
        {"away", "外出", {1920, 6.0, 30}, 64, 2700.0 / 1000},
        {"saver", "節約", {1440, 2.5, 20}, 48, 1125.0 / 1000},
    };
    return table[static_cast<int>(preset)];
}

}  // namespace

std::string_view rawValue(QualityPreset preset) {
    return values(preset).raw;
}

std::optional<QualityPreset> qualityPreset(std::string_view raw) {
    for (auto preset : allQualityPresets) {
        if (rawValue(preset) == raw) {
            return preset;
        }
    }
    return std::nullopt;
}

StreamConfig config(QualityPreset preset) {
    return values(preset).config;
}

int audioKbps(QualityPreset preset) {
    return values(preset).audioKbps;
}

double maxGigabytesPerHour(QualityPreset preset) {
    return values(preset).gigabytesPerHour;
}

std::string title(QualityPreset preset) {
    return localized(values(preset).titleKey);
}

}  // namespace quelm
