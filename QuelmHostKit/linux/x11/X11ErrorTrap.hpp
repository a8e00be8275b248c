#pragma once

#include "QuelmHostKit/linux/x11/X11Status.hpp"

namespace quelm {

class X11Connection;

// Collects the X errors of the requests made on one connection while it is open, instead of
// letting them reach a process-wide handler. Scoped and nestable; used on the thread that owns
// the connection. leave() (or the destructor) syncs with the server, so every request made
// inside has been answered, and reports the first error.
//
// Usage:
//   X11ErrorTrap trap(connection);
//   XGetWindowAttributes(connection.display(), window, &attributes);
//   if (const X11Status status = trap.leave(); !status) {
//       Log::info("window gone: " + status.describe());
//       return;
//   }
class X11ErrorTrap final {
  public:
    explicit X11ErrorTrap(X11Connection& connection);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Waits for the server's answer to every request made inside, closes the trap and reports.
    // Calling it again returns the same status.
    X11Status leave();

  private:
    friend class X11Connection;
    // Called by the connection's error handler for errors of requests since `firstSerial_`.
    void record(int errorCode, int requestCode, int minorCode, unsigned long resourceID);

    X11Connection& connection_;
    X11ErrorTrap* outer_;
    unsigned long firstSerial_;
    X11Status status_;
    bool open_ = true;
};

}  // namespace quelm
