#pragma once

namespace quelm {

// What the desktop lets the host do.
// Thread: main thread only; answers are cheap (cached where the platform is slow to ask).
class Permissions {
  public:
    virtual ~Permissions() = default;
    // The screen can be read (the X display opens and its pixels can be fetched).
    virtual bool screenCaptureGranted() const = 0;
    // Synthetic input can be posted (the XTest extension is there).
    virtual bool inputGranted() const = 0;
};

}  // namespace quelm
