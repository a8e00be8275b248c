#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <future>
#include <limits>

#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"
#include "QuelmHostKit/log/Log.hpp"

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

std::vector<ActiveDisplay> readMonitors(Display* display) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
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
            .isBuiltIn = X11DisplayServices::isPanelName(atomName(display, monitor.name)),
            .mirrorOf = 0,
        });
    }
    XRRFreeMonitors(monitors);
    return displays;
}

std::vector<ActiveDisplay> rootOnly(Display* display) {
    const int screen = DefaultScreen(display);
    return {ActiveDisplay{
        .id = static_cast<std::uint32_t>(RootWindow(display, screen)),
        .bounds = {0, 0, double(DisplayWidth(display, screen)),
                   double(DisplayHeight(display, screen))},
        .isPrimary = true,
        .isBuiltIn = false,
        .mirrorOf = 0,
    }};
}

}  // namespace

std::shared_ptr<X11DisplayServices> X11DisplayServices::create(std::shared_ptr<X11EventPump> pump) {
    if (!pump || pump->isLost()) {
        return nullptr;
    }
    auto services = std::shared_ptr<X11DisplayServices>(new X11DisplayServices(std::move(pump)));
    services->follow();
    return services;
}

X11DisplayServices::X11DisplayServices(std::shared_ptr<X11EventPump> pump)
    : pump_(std::move(pump)) {}

void X11DisplayServices::follow() {
    const auto randr = pump_->extensions().randr;
    if (randr) {
        auto changed = [weak = weak_from_this()](const XEvent&, X11Connection& connection) {
            if (auto self = weak.lock()) {
                self->refresh(connection);
            }
        };
        screenChanged_ = pump_->subscribe(*randr + RRScreenChangeNotify, changed);
        outputChanged_ = pump_->subscribe(*randr + RRNotify, changed);
    }
    auto read = std::make_shared<std::promise<void>>();
    auto done = read->get_future();
    pump_->post([weak = weak_from_this(), randr, read](X11Connection& connection) {
        if (auto self = weak.lock()) {
            if (randr) {
                XRRSelectInput(
                    connection.display(), DefaultRootWindow(connection.display()),
                    RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
            }
            self->refresh(connection);
        }
        read->set_value();
    });
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        Log::info("X11: the display list was not read in time");
    }
}

std::vector<ActiveDisplay> X11DisplayServices::activeDisplays() {
    std::lock_guard lock(mutex_);
    return displays_;
}

void X11DisplayServices::setChangeHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(handler);
}

void X11DisplayServices::refresh(X11Connection& connection) {
    Display* display = connection.display();
    const auto& extensions = pump_->extensions();
    const bool hasMonitors =
        extensions.randr &&
        (extensions.randrMajor > 1 || (extensions.randrMajor == 1 && extensions.randrMinor >= 5));
    std::vector<ActiveDisplay> displays;
    if (hasMonitors) {
        X11ErrorTrap trap(connection);
        displays = readMonitors(display);
        if (const X11Status status = trap.leave(); !status) {
            // Keep the last list; the change that raced with this read brings another event.
            Log::info("X11: reading the monitors failed: " + status.describe());
            return;
        }
    }
    if (displays.empty()) {
        // No RandR 1.5, or every monitor off: the screen is still there to be shown.
        displays = rootOnly(display);
    }
    markMirrors(displays);
    std::function<void()> onChange;
    {
        std::lock_guard lock(mutex_);
        if (displays == displays_) {
            return;
        }
        displays_ = std::move(displays);
        onChange = onChange_;
    }
    if (onChange) {
        onChange();
    }
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
