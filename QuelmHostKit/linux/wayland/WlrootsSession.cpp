#include "QuelmHostKit/linux/wayland/WlrootsSession.hpp"

#include "QuelmHostKit/linux/LinuxHostEnvironment.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrSession.hpp"

namespace quelm::WlrootsSession {

bool present() {
    // A wlroots compositor is one that offers wlr-screencopy; the probe's connection is closed
    // again at once.
    auto probe = WlrSession::open({});
    if (!probe) {
        return false;
    }
    probe->shutdown();
    return true;
}

std::shared_ptr<HostEnvironment> create(std::shared_ptr<NeverCaptureRegistry> neverCapture) {
    // The host environment takes the wlroots services when the Wayland display offers them.
    auto environment = std::make_shared<LinuxHostEnvironment>("", std::move(neverCapture));
    if (!environment->unavailableReason().empty()) {
        return nullptr;
    }
    return environment;
}

}  // namespace quelm::WlrootsSession
