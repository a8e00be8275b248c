#pragma once

#include <memory>

#include "QuelmHostKit/platform/HostEnvironment.hpp"
#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm::WlrootsSession {

// Where the wlroots services plug into the session choice: whether the Wayland display offers
// wlroots' screencopy, and the environment built on its protocols (null when it cannot be
// built).
bool present();
std::shared_ptr<HostEnvironment> create(std::shared_ptr<NeverCaptureRegistry> neverCapture);

}  // namespace quelm::WlrootsSession
