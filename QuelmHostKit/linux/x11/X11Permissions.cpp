#include "QuelmHostKit/linux/x11/X11Permissions.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"
#include "QuelmHostKit/linux/x11/X11Status.hpp"

namespace quelm {

X11Permissions X11Permissions::probe(const std::string& name) {
    auto connection = X11Connection::open(name);
    if (!connection) {
        return X11Permissions(false, false);
    }
    Display* display = connection->display();
    int opcode = 0;
    int event = 0;
    int error = 0;
    bool input = XQueryExtension(display, "XTEST", &opcode, &event, &error);

    X11ErrorTrap trap(*connection);
    XImage* image = XGetImage(display, DefaultRootWindow(display), 0, 0, 1, 1, AllPlanes, ZPixmap);
    bool screen = image && bool(trap.leave());
    if (image) {
        XDestroyImage(image);
    }
    return X11Permissions(screen, input);
}

}  // namespace quelm
