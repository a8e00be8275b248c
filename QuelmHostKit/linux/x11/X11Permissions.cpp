#include "QuelmHostKit/linux/x11/X11Permissions.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quelm {

namespace {

bool gotError = false;

int noteError(Display*, XErrorEvent*) {
    gotError = true;
    return 0;
}

}  // namespace

X11Permissions X11Permissions::probe(const std::string& name) {
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display) {
        return X11Permissions(false, false);
    }
    int opcode = 0;
    int event = 0;
    int error = 0;
    bool input = XQueryExtension(display, "XTEST", &opcode, &event, &error);

    // Runs once at launch on the main thread, before anything else talks to X from another
    // thread, so swapping the process-wide handler for one request is safe.
    gotError = false;
    auto previous = XSetErrorHandler(noteError);
    XImage* image = XGetImage(display, DefaultRootWindow(display), 0, 0, 1, 1, AllPlanes, ZPixmap);
    XSync(display, False);
    XSetErrorHandler(previous);
    bool screen = image && !gotError;
    if (image) {
        XDestroyImage(image);
    }
    XCloseDisplay(display);
    return X11Permissions(screen, input);
}

}  // namespace quelm
