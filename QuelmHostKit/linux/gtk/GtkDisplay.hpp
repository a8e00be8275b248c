#pragma once

namespace quelm {

// GTK on the X display, made to survive the loss of that display. GDK's own handlers end the
// process when the X connection breaks; once GTK is initialised, X errors on GDK's display
// still go to GDK (its error traps need them), but a broken connection is logged and GDK's
// display abandoned instead, like our own X connections. Errors of every other display go to
// the X connection layer as before.
// Thread: call once, on the main thread, before anything else uses GTK.
class GtkDisplay final {
  public:
    // True when GTK has an X display to work with.
    static bool open();
};

}  // namespace quelm
