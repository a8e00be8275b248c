#include "QuelmCore/InputValues.hpp"

namespace quelm {

std::string_view rawValue(KeyboardLayoutKind kind) {
    return kind == KeyboardLayoutKind::jis ? "jis" : "us";
}

std::string_view rawValue(SystemAction action) {
    switch (action) {
        case SystemAction::missionControl:
            return "missionControl";
        case SystemAction::spaceLeft:
            return "spaceLeft";
        case SystemAction::spaceRight:
            return "spaceRight";
        case SystemAction::back:
            return "back";
        case SystemAction::forward:
            return "forward";
    }
    return {};
}

std::optional<KeyboardLayoutKind> keyboardLayoutKind(std::string_view raw) {
    for (auto kind : allKeyboardLayoutKinds) {
        if (rawValue(kind) == raw) {
            return kind;
        }
    }
    return std::nullopt;
}

std::optional<SystemAction> systemAction(std::string_view raw) {
    for (auto action : allSystemActions) {
        if (rawValue(action) == raw) {
            return action;
        }
    }
    return std::nullopt;
}

}  // namespace quelm
