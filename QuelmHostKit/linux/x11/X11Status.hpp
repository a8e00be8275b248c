#pragma once

#include <string>

namespace quelm {

// The outcome of X requests made inside an X11ErrorTrap: success, the first X error they
// raised, or the loss of the connection.
struct X11Status {
    // An X error code (BadWindow, BadMatch, ...); 0 for none.
    int errorCode = 0;
    // Major and minor opcode of the failed request.
    int requestCode = 0;
    int minorCode = 0;
    unsigned long resourceID = 0;
    // Errors raised inside the trap, the first of which is described above.
    int errorCount = 0;
    // The connection to the X server is gone; nothing was done.
    bool lost = false;

    bool ok() const { return errorCode == 0 && !lost; }
    explicit operator bool() const { return ok(); }
    // For log lines: "ok", "connection lost", or "X error 3 (request 2.0, resource 0x1234)".
    std::string describe() const;
};

}  // namespace quelm
