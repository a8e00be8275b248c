#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "QuelmHostKit/platform/DisplayServices.hpp"

typedef struct _XDisplay Display;

namespace quelm {

class X11Connection;

// The X server's monitors as RandR 1.5 reports them, on a connection of its own.
//
// Ids: the smallest RandR output XID of the monitor (a monitor defined without outputs uses
// its name atom with the top bit set, so the two never meet); stable while the monitor stays
// attached. Bounds are root-window pixels. Primary: RandR's primary monitor. Built-in: the
// monitor is named after a laptop panel connector. Monitors of identical geometry show one
// picture: the first listed is the original, the others its mirror copies. A server without
// RandR 1.5 has one display, the root window.
//
// Thread-safe: one lock serialises the connection. A lost X server leaves no displays.
class X11DisplayServices final : public DisplayServices {
  public:
    // Nothing when the X server cannot be reached. An empty name means $DISPLAY.
    static std::shared_ptr<X11DisplayServices> connect(const std::string& displayName = "");

    ~X11DisplayServices() override;
    X11DisplayServices(const X11DisplayServices&) = delete;
    X11DisplayServices& operator=(const X11DisplayServices&) = delete;

    std::vector<ActiveDisplay> activeDisplays() override;

    // eDP, LVDS and DSI connectors, in any case ("eDP-1", "LVDS1", "dsi-0").
    static bool isPanelName(std::string_view name);
    // Marks every display whose geometry repeats an earlier one's as that one's mirror copy.
    static void markMirrors(std::vector<ActiveDisplay>& displays);

  private:
    X11DisplayServices(std::unique_ptr<X11Connection> connection, bool hasMonitors);
    std::vector<ActiveDisplay> monitors();
    std::vector<ActiveDisplay> rootOnly();

    std::mutex mutex_;
    std::unique_ptr<X11Connection> connection_;
    Display* display_;
    bool hasMonitors_;
};

}  // namespace quelm
