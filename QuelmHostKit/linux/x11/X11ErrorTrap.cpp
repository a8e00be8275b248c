#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"

#include <X11/Xlib.h>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"

namespace quelm {

X11ErrorTrap::X11ErrorTrap(X11Connection& connection)
    : connection_(connection),
      outer_(connection.trap_),
      firstSerial_(NextRequest(connection.display())) {
    connection_.trap_ = this;
}

X11ErrorTrap::~X11ErrorTrap() {
    leave();
}

X11Status X11ErrorTrap::leave() {
    if (!open_) {
        return status_;
    }
    if (!connection_.isLost()) {
        // Every request made inside gets its answer, and so its error, before the trap closes.
        XSync(connection_.display(), False);
    }
    status_.lost = connection_.isLost();
    connection_.trap_ = outer_;
    open_ = false;
    return status_;
}

void X11ErrorTrap::record(int errorCode, int requestCode, int minorCode, unsigned long resourceID) {
    if (status_.errorCount++ == 0) {
        status_.errorCode = errorCode;
        status_.requestCode = requestCode;
        status_.minorCode = minorCode;
        status_.resourceID = resourceID;
    }
}

}  // namespace quelm
