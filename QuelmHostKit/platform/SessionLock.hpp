#pragma once

#include <functional>

namespace quelm {

// The screen-lock state of the user's session.
// Thread: main thread; the handler runs there too.
class SessionLock {
  public:
    virtual ~SessionLock() = default;
    // Reports the current state once it is known, then every change. A second call replaces
    // the handler.
    virtual void watch(std::function<void(bool locked)> onChange) = 0;
};

}  // namespace quelm
