#include "QuelmCore/ConnectionMode.hpp"

#include "QuelmCore/Localized.hpp"

namespace quelm {

std::string_view rawValue(ConnectionMode mode) {
    switch (mode) {
        case ConnectionMode::automatic:
            return "auto";
        case ConnectionMode::h264:
            return "h264";
        case ConnectionMode::vnc:
            return "vnc";
    }
    return {};
}

std::optional<ConnectionMode> connectionMode(std::string_view raw) {
    for (auto mode : allConnectionModes) {
        if (rawValue(mode) == raw) {
            return mode;
        }
    }
    return std::nullopt;
}

std::string title(ConnectionMode mode) {
    switch (mode) {
        case ConnectionMode::automatic:
            return localized("自動");
        case ConnectionMode::h264:
            return localized("Veyra Devo（H.264）だけ");
        case ConnectionMode::vnc:
            return localized("画面共有（VNC）だけ");
    }
    return {};
}

bool usesVNC(ConnectionMode mode, bool hostToken, bool hostReachable) {
    switch (mode) {
        case ConnectionMode::automatic:
            return !(hostToken && hostReachable);
        case ConnectionMode::h264:
            return false;
        case ConnectionMode::vnc:
            return true;
    }
    return true;
}

}  // namespace quelm
