#include "QuelmHostKit/linux/wayland/WlrootsSession.hpp"

namespace quelm::WlrootsSession {

// Not built in yet: a wlroots session is treated as a Wayland session without known services
// (XWayland when there is one).
bool present() {
    return false;
}

std::shared_ptr<HostEnvironment> create(std::shared_ptr<NeverCaptureRegistry>) {
    return nullptr;
}

}  // namespace quelm::WlrootsSession
