#include "QuelmHostKit/linux/gtk/GtkDisplay.hpp"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <atomic>
#include <cstdlib>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

Display* gdkXDisplay = nullptr;
XErrorHandler layerError = nullptr;
XIOErrorHandler layerIOError = nullptr;
XErrorHandler gdkError = nullptr;
std::atomic<bool> gdkLost{false};
// GDK's X event source: once the connection is gone its fd stays readable for ever, and the
// source would spin the main loop.
guint gdkSource = 0;

guint findGdkSource() {
    guint top = g_idle_add([](gpointer) { return G_SOURCE_REMOVE; }, nullptr);
    g_source_remove(top);
    for (guint id = 1; id < top; ++id) {
        GSource* source = g_main_context_find_source_by_id(nullptr, id);
        const char* name = source ? g_source_get_name(source) : nullptr;
        if (name && g_str_has_prefix(name, "GDK X11 Event source")) {
            return id;
        }
    }
    return 0;
}

int onError(Display* display, XErrorEvent* event) {
    if (display == gdkXDisplay) {
        return gdkError ? gdkError(display, event) : 0;
    }
    return layerError ? layerError(display, event) : 0;
}

int onIOError(Display* display) {
    if (display == gdkXDisplay) {
        return 0;  // the exit handler below reports it
    }
    return layerIOError ? layerIOError(display) : 0;
}

void onGdkDisplayLost(Display*, void*) {
    if (gdkLost.exchange(true)) {
        return;
    }
    Log::info("X display lost: tray and clipboard stop");
    // Called from inside an Xlib call, perhaps in that very source: remove it afterwards.
    g_idle_add(
        [](gpointer) {
            if (gdkSource != 0) {
                g_source_remove(gdkSource);
                gdkSource = 0;
            }
            return G_SOURCE_REMOVE;
        },
        nullptr);
}

// GDK looks for OpenGL visuals when it opens the display, which loads the system's GL driver:
// with Mesa's software renderer that is some 50 MB of LLVM resident in the host for as long as
// it runs. The tray and the QR window draw with cairo, so GL is switched off for GDK, unless
// the user set GDK_GL, and the variable is put back so that nothing started later inherits it.
bool initialiseWithoutGl() {
    const bool userChoice = std::getenv("GDK_GL") != nullptr;
    if (!userChoice) {
        setenv("GDK_GL", "disable", 0);
    }
    const bool opened = gtk_init_check(nullptr, nullptr);
    if (!userChoice) {
        unsetenv("GDK_GL");
    }
    return opened;
}

}  // namespace

bool GtkDisplay::open() {
    // The connection layer's handlers first (and XInitThreads before any Xlib call).
    X11Connection::initialise();
    layerError = XSetErrorHandler(nullptr);
    XSetErrorHandler(layerError);
    layerIOError = XSetIOErrorHandler(nullptr);
    XSetIOErrorHandler(layerIOError);

    gdk_set_allowed_backends("x11");
    if (!initialiseWithoutGl()) {
        return false;
    }
    GdkDisplay* display = gdk_display_get_default();
    if (!display || !GDK_IS_X11_DISPLAY(display)) {
        return false;
    }
    gdkXDisplay = gdk_x11_display_get_xdisplay(display);
    gdkError = XSetErrorHandler(onError);
    XSetIOErrorHandler(onIOError);
    XSetIOErrorExitHandler(gdkXDisplay, onGdkDisplayLost, nullptr);
    gdkSource = findGdkSource();
    if (gdkSource == 0) {
        Log::info("GDK event source not found: a lost display may keep the main loop busy");
    }
    return true;
}

}  // namespace quelm
