#include "QuelmHostKit/linux/LinuxSession.hpp"

#include <string_view>

namespace quelm::LinuxSession {

namespace {

bool set(const char* value) {
    return value != nullptr && *value != '\0';
}

}  // namespace

LinuxSessionKind choose(const LinuxSessionFacts& facts) {
    if (!facts.wayland) {
        return LinuxSessionKind::x11;
    }
    if (facts.mutter) {
        return LinuxSessionKind::gnomeWayland;
    }
    if (facts.wlroots) {
        return LinuxSessionKind::wlrootsWayland;
    }
    return facts.xDisplay ? LinuxSessionKind::x11 : LinuxSessionKind::unsupportedWayland;
}

std::string describe(LinuxSessionKind kind, const LinuxSessionFacts& facts) {
    switch (kind) {
        case LinuxSessionKind::gnomeWayland:
            return "desktop session: GNOME on Wayland (mutter's screen cast and remote desktop)";
        case LinuxSessionKind::wlrootsWayland:
            return "desktop session: wlroots compositor on Wayland (screencopy and virtual input)";
        case LinuxSessionKind::unsupportedWayland:
            return "desktop session: Wayland, but the compositor offers neither mutter's remote "
                   "desktop nor wlroots' protocols";
        case LinuxSessionKind::x11:
            break;
    }
    if (facts.wayland) {
        return "desktop session: Wayland without mutter's remote desktop or wlroots' protocols: "
               "falling back to XWayland, which shows and reaches X clients only";
    }
    return "desktop session: X11";
}

LinuxSessionFacts observe(const std::function<const char*(const char*)>& variable,
                          const std::function<bool()>& probeMutter,
                          const std::function<bool()>& probeWlroots) {
    LinuxSessionFacts facts;
    const char* type = variable("XDG_SESSION_TYPE");
    facts.wayland =
        set(variable("WAYLAND_DISPLAY")) || (type && std::string_view(type) == "wayland");
    facts.xDisplay = set(variable("DISPLAY"));
    if (facts.wayland) {
        facts.mutter = probeMutter();
        facts.wlroots = !facts.mutter && probeWlroots();
    }
    return facts;
}

}  // namespace quelm::LinuxSession
