#pragma once

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "QuelmHostKit/linux/x11/X11Registration.hpp"
#include "QuelmHostKit/platform/DisplayServices.hpp"

namespace quelm {

// The X server's monitors as RandR 1.5 reports them, kept in memory and read again on the
// event pump's thread after every RandR change notification, so asking costs no round trip.
//
// Ids: the smallest RandR output XID of the monitor (a monitor defined without outputs uses
// its name atom with the top bit set, so the two never meet); stable while the monitor stays
// attached. Bounds are root-window pixels. Primary: RandR's primary monitor. Built-in: the
// monitor is named after a laptop panel connector. Monitors of identical geometry show one
// picture: the first listed is the original, the others its mirror copies. A server without
// RandR 1.5, or with every monitor off, has one display: the root window.
// When the server is lost the last list stays.
//
// Thread-safe.
class X11DisplayServices final : public DisplayServices,
                                 public std::enable_shared_from_this<X11DisplayServices> {
  public:
    // Reads the monitors once before returning (waiting for the pump's thread), then follows
    // the changes. Nothing when the pump's connection is already lost.
    static std::shared_ptr<X11DisplayServices> create(std::shared_ptr<X11EventPump> pump);

    X11DisplayServices(const X11DisplayServices&) = delete;
    X11DisplayServices& operator=(const X11DisplayServices&) = delete;

    std::vector<ActiveDisplay> activeDisplays() override;
    // Calls `handler` on the pump's thread after each change of the list; one handler.
    void setChangeHandler(std::function<void()> handler);

    // eDP, LVDS and DSI connectors, in any case ("eDP-1", "LVDS1", "dsi-0").
    static bool isPanelName(std::string_view name);
    // Marks every display whose geometry repeats an earlier one's as that one's mirror copy.
    static void markMirrors(std::vector<ActiveDisplay>& displays);

  private:
    explicit X11DisplayServices(std::shared_ptr<X11EventPump> pump);
    void follow();
    // On the pump's thread.
    void refresh(X11Connection& connection);

    const std::shared_ptr<X11EventPump> pump_;
    std::mutex mutex_;
    std::vector<ActiveDisplay> displays_;
    std::function<void()> onChange_;
    X11Registration screenChanged_;
    X11Registration outputChanged_;
};

}  // namespace quelm
