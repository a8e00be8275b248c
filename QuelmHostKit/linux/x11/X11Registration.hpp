#pragma once

#include <functional>

namespace quelm {

// A handle on something registered with the X layer (an event handler, a lost-server listener,
// a repeating task). Releasing the handle unregisters; it is move-only.
class X11Registration final {
  public:
    X11Registration() = default;
    explicit X11Registration(std::function<void()> unregister);
    ~X11Registration();
    X11Registration(X11Registration&& other) noexcept;
    X11Registration& operator=(X11Registration&& other) noexcept;
    X11Registration(const X11Registration&) = delete;
    X11Registration& operator=(const X11Registration&) = delete;

    // Unregisters now; idempotent.
    void reset();
    explicit operator bool() const { return static_cast<bool>(unregister_); }

  private:
    std::function<void()> unregister_;
};

}  // namespace quelm
