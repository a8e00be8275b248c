#pragma once

#include <string>

#include "QuelmHostKit/platform/Permissions.hpp"

namespace quelm {

// What the X server lets us do, probed once: capture is possible when the display opens and
// a pixel of the root window can be read back; input when the XTest extension is present.
// The X server does not change its mind while we run, so the answers are kept.
class X11Permissions final : public Permissions {
  public:
    // Probes the display named `display` (the DISPLAY variable when empty).
    static X11Permissions probe(const std::string& display = {});

    bool screenCaptureGranted() const override { return screen_; }
    bool inputGranted() const override { return input_; }

  private:
    X11Permissions(bool screen, bool input) : screen_(screen), input_(input) {}
    bool screen_;
    bool input_;
};

}  // namespace quelm
