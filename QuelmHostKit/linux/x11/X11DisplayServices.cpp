#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"

namespace quelm {

namespace {

// Name atoms of monitors without outputs live above every XID (XIDs use 29 bits).
constexpr std::uint32_t kNamedMonitorBit = 0x80000000U;

std::string atomName(Display* display, Atom atom) {
    if (atom == None) {
        return {};
    }
    char* name = XGetAtomName(display, atom);
    if (name == nullptr) {
        return {};
    }
    std::string text(name);
    XFree(name);
    return text;
}

std::uint32_t monitorID(const XRRMonitorInfo& monitor) {
    if (monitor.noutput > 0 && monitor.outputs != nullptr) {
        const RROutput smallest =
            *std::min_element(monitor.outputs, monitor.outputs + monitor.noutput);
        if (smallest != None && smallest <= std::numeric_limits<std::uint32_t>::max()) {
            return static_cast<std::uint32_t>(smallest);
        }
    }
    return static_cast<std::uint32_t>(monitor.name) | kNamedMonitorBit;
}

}  // namespace

std::shared_ptr<X11DisplayServices> X11DisplayServices::connect(const std::string& displayName) {
    auto connection = X11Connection::open(displayName);
    if (!connection) {
        return nullptr;
    }
    Display* display = connection->display();
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    const bool hasMonitors = XRRQueryExtension(display, &eventBase, &errorBase) &&
                             XRRQueryVersion(display, &major, &minor) &&
                             (major > 1 || (major == 1 && minor >= 5));
    return std::shared_ptr<X11DisplayServices>(
        new X11DisplayServices(std::move(connection), hasMonitors));
}

X11DisplayServices::X11DisplayServices(std::unique_ptr<X11Connection> connection, bool hasMonitors)
    : connection_(std::move(connection)),
      display_(connection_->display()),
      hasMonitors_(hasMonitors) {}

X11DisplayServices::~X11DisplayServices() = default;

std::vector<ActiveDisplay> X11DisplayServices::activeDisplays() {
    std::lock_guard lock(mutex_);
    if (connection_->isLost()) {
        return {};
    }
    auto displays = hasMonitors_ ? monitors() : rootOnly();
    markMirrors(displays);
    return displays;
}

std::vector<ActiveDisplay> X11DisplayServices::monitors() {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display_, DefaultRootWindow(display_), True, &count);
    std::vector<ActiveDisplay> displays;
    if (monitors == nullptr) {
        return displays;
    }
    displays.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& monitor = monitors[i];
        if (monitor.width <= 0 || monitor.height <= 0) {
            continue;
        }
        displays.push_back(ActiveDisplay{
            .id = monitorID(monitor),
            .bounds = {double(monitor.x), double(monitor.y), double(monitor.width),
                       double(monitor.height)},
            .isPrimary = monitor.primary != 0,
            .isBuiltIn = isPanelName(atomName(display_, monitor.name)),
            .mirrorOf = 0,
        });
    }
    XRRFreeMonitors(monitors);
    return displays;
}

std::vector<ActiveDisplay> X11DisplayServices::rootOnly() {
    const int screen = DefaultScreen(display_);
    return {ActiveDisplay{
        .id = static_cast<std::uint32_t>(RootWindow(display_, screen)),
        .bounds = {0, 0, double(DisplayWidth(display_, screen)),
                   double(DisplayHeight(display_, screen))},
        .isPrimary = true,
        .isBuiltIn = false,
        .mirrorOf = 0,
    }};
}

bool X11DisplayServices::isPanelName(std::string_view name) {
    static constexpr std::array<std::string_view, 3> kPanels{"edp", "lvds", "dsi"};
    return std::any_of(kPanels.begin(), kPanels.end(), [name](std::string_view panel) {
        if (name.size() < panel.size()) {
            return false;
        }
        for (std::size_t i = 0; i < panel.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(name[i])) != panel[i]) {
                return false;
            }
        }
        // "eDP-1", "eDP1", "LVDS": anything but another letter may follow.
        return name.size() == panel.size() ||
               !std::isalpha(static_cast<unsigned char>(name[panel.size()]));
    });
}

void X11DisplayServices::markMirrors(std::vector<ActiveDisplay>& displays) {
    for (std::size_t i = 0; i < displays.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (displays[j].mirrorOf == 0 && displays[j].bounds == displays[i].bounds) {
                displays[i].mirrorOf = displays[j].id;
                break;
            }
        }
    }
}

}  // namespace quelm
