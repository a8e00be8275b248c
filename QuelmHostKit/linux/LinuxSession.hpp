#pragma once

#include <functional>
#include <string>

namespace quelm {

// Which desktop services the host uses, from what the session shows.
enum class LinuxSessionKind {
    // An X server: XShm capture, XTest input (also a Wayland session's XWayland as a last
    // resort, which shows and reaches X clients only).
    x11,
    // GNOME on Wayland: mutter's ScreenCast and RemoteDesktop on the session bus.
    gnomeWayland,
    // A wlroots compositor: its screencopy, virtual input and data-control protocols.
    wlrootsWayland,
    // A Wayland session whose compositor offers neither, and no X server to fall back on.
    unsupportedWayland,
};

struct LinuxSessionFacts {
    // $WAYLAND_DISPLAY is set, or $XDG_SESSION_TYPE says "wayland".
    bool wayland = false;
    // $DISPLAY is set.
    bool xDisplay = false;
    // Mutter's remote desktop interfaces answer on the session bus.
    bool mutter = false;
    // The Wayland display offers wlroots' screencopy protocol.
    bool wlroots = false;
};

namespace LinuxSession {

LinuxSessionKind choose(const LinuxSessionFacts& facts);
// What the log says of the choice.
std::string describe(LinuxSessionKind kind, const LinuxSessionFacts& facts);
// Reads the environment through `variable` (getenv); `probeMutter` and `probeWlroots` are asked
// only in a Wayland session.
LinuxSessionFacts observe(const std::function<const char*(const char*)>& variable,
                          const std::function<bool()>& probeMutter,
                          const std::function<bool()>& probeWlroots);

}  // namespace LinuxSession

}  // namespace quelm
