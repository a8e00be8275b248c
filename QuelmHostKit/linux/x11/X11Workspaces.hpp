#pragma once

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm {

class X11Connection;

// The window manager's workspaces (EWMH: _NET_NUMBER_OF_DESKTOPS, _NET_CURRENT_DESKTOP and the
// client message that switches) and the class of its active window.
//
// Thread: used under its owner's lock; shares the owner's connection.
class X11Workspaces final {
  public:
    explicit X11Workspaces(X11Connection& connection);

    // A window manager that keeps EWMH workspaces is running.
    bool supported();
    std::optional<SpaceInfo> info();
    // Asks the window manager for the workspace beside the current one. `now` in seconds of
    // uptime: a switch within a second of the last one counts from where that one went, since
    // the manager may not have got to it yet.
    bool switchBeside(bool toRight, double now);
    // The class (second string of WM_CLASS) of the active window.
    std::optional<std::string> activeWindowClass();

  private:
    std::optional<std::vector<unsigned long>> rootProperty(const char* name, unsigned long type);

    X11Connection& connection_;
    std::optional<long> requested_;
    double requestedAt_ = -std::numeric_limits<double>::infinity();
};

}  // namespace quelm
