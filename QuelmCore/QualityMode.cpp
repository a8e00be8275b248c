#include "QuelmCore/QualityMode.hpp"

namespace quelm {

std::string_view rawValue(QualityMode mode) {
    switch (mode) {
        case QualityMode::automatic:
            return "auto";
        case QualityMode::home:
            return "home";
        case QualityMode::away:
            return "away";
        case QualityMode::saver:
            return "saver";
    }
    return {};
}

std::optional<QualityMode> qualityMode(std::string_view raw) {
    for (auto mode : allQualityModes) {
        if (rawValue(mode) == raw) {
            return mode;
        }
    }
    return std::nullopt;
}

QualityPreset resolve(QualityMode mode, bool onExpensiveNetwork) {
    switch (mode) {
        case QualityMode::automatic:
            return onExpensiveNetwork ? QualityPreset::away : QualityPreset::home;
        case QualityMode::home:
            return QualityPreset::home;
        case QualityMode::away:
            return QualityPreset::away;
        case QualityMode::saver:
            return QualityPreset::saver;
    }
    return QualityPreset::home;
}

}  // namespace quelm
