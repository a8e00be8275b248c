#include "QuelmHostKit/linux/x11/X11Workspaces.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"

namespace quelm {

namespace {

// The 32-bit items of a window property (Xlib hands them out as longs); none when it is
// missing or of another type.
std::optional<std::vector<unsigned long>> readProperty(Display* display, Window window,
                                                       Atom property, Atom type) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, 1024, False, type,
                                          &actualType, &actualFormat, &count, &after, &data);
    if (status != Success || actualType != type || actualFormat != 32 || data == nullptr) {
        if (data != nullptr) {
            XFree(data);
        }
        return std::nullopt;
    }
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    std::vector<unsigned long> values(items, items + count);
    XFree(data);
    return values;
}

}  // namespace

X11Workspaces::X11Workspaces(X11Connection& connection) : connection_(connection) {}

std::optional<std::vector<unsigned long>> X11Workspaces::rootProperty(const char* name,
                                                                      unsigned long type) {
    if (connection_.isLost()) {
        return std::nullopt;
    }
    Display* display = connection_.display();
    X11ErrorTrap trap(connection_);
    auto values =
        readProperty(display, DefaultRootWindow(display), XInternAtom(display, name, False), type);
    if (!trap.leave()) {
        return std::nullopt;
    }
    return values;
}

bool X11Workspaces::supported() {
    const auto check = rootProperty("_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    if (!check || check->empty()) {
        return false;
    }
    // The check window names itself while its window manager runs; a stale property from a
    // manager that has gone does not.
    Display* display = connection_.display();
    X11ErrorTrap trap(connection_);
    const auto self =
        readProperty(display, check->front(),
                     XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False), XA_WINDOW);
    const auto supportedAtoms =
        readProperty(display, DefaultRootWindow(display),
                     XInternAtom(display, "_NET_SUPPORTED", False), XA_ATOM);
    const Atom current = XInternAtom(display, "_NET_CURRENT_DESKTOP", False);
    const Atom number = XInternAtom(display, "_NET_NUMBER_OF_DESKTOPS", False);
    if (!trap.leave() || !self || self->empty() || self->front() != check->front() ||
        !supportedAtoms) {
        return false;
    }
    auto has = [&](Atom atom) {
        return std::find(supportedAtoms->begin(), supportedAtoms->end(), atom) !=
               supportedAtoms->end();
    };
    return has(current) && has(number);
}

std::optional<SpaceInfo> X11Workspaces::info() {
    const auto count = rootProperty("_NET_NUMBER_OF_DESKTOPS", XA_CARDINAL);
    const auto current = rootProperty("_NET_CURRENT_DESKTOP", XA_CARDINAL);
    if (!count || count->empty() || !current || current->empty() || count->front() == 0 ||
        current->front() >= count->front()) {
        return std::nullopt;
    }
    return SpaceInfo{static_cast<std::uint32_t>(current->front()),
                     static_cast<std::uint32_t>(count->front())};
}

bool X11Workspaces::switchBeside(bool toRight, double now) {
    const auto now_ = info();
    if (!now_) {
        return false;
    }
    const long base = requested_ && now - requestedAt_ < 1.0 ? *requested_ : now_->index;
    const long target = std::clamp<long>(toRight ? base + 1 : base - 1, 0, now_->count - 1);
    Display* display = connection_.display();
    X11ErrorTrap trap(connection_);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = DefaultRootWindow(display);
    event.xclient.message_type = XInternAtom(display, "_NET_CURRENT_DESKTOP", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = target;
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, DefaultRootWindow(display), False,
                                   SubstructureNotifyMask | SubstructureRedirectMask, &event);
    if (!trap.leave() || sent == 0) {
        return false;
    }
    requested_ = target;
    requestedAt_ = now;
    return true;
}

std::optional<std::string> X11Workspaces::activeWindowClass() {
    const auto active = rootProperty("_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (!active || active->empty() || active->front() == None) {
        return std::nullopt;
    }
    Display* display = connection_.display();
    X11ErrorTrap trap(connection_);
    XClassHint hint{};
    const Status found = XGetClassHint(display, active->front(), &hint);
    std::optional<std::string> result;
    if (found != 0 && hint.res_class != nullptr) {
        result = std::string(hint.res_class);
    }
    if (hint.res_name != nullptr) {
        XFree(hint.res_name);
    }
    if (hint.res_class != nullptr) {
        XFree(hint.res_class);
    }
    if (!trap.leave()) {
        return std::nullopt;
    }
    return result;
}

}  // namespace quelm
