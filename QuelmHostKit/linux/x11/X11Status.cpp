#include "QuelmHostKit/linux/x11/X11Status.hpp"

#include <cstdio>

namespace quelm {

std::string X11Status::describe() const {
    if (lost) {
        return "connection lost";
    }
    if (errorCode == 0) {
        return "ok";
    }
    char text[96];
    std::snprintf(text, sizeof text, "X error %d (request %d.%d, resource 0x%lx)", errorCode,
                  requestCode, minorCode, resourceID);
    std::string result(text);
    if (errorCount > 1) {
        result += " and " + std::to_string(errorCount - 1) + " more";
    }
    return result;
}

}  // namespace quelm
