#pragma once

#include <functional>

#include "QuelmHostKit/platform/SessionLock.hpp"

namespace quelm::test {

// A session whose lock state the test sets; the handler hears each change.
class FakeSessionLock final : public SessionLock {
  public:
    void watch(std::function<void(bool)> onChange) override {
        handler_ = std::move(onChange);
        handler_(locked_);
    }
    void setLocked(bool locked) {
        locked_ = locked;
        if (handler_) {
            handler_(locked);
        }
    }

  private:
    bool locked_ = false;
    std::function<void(bool)> handler_;
};

}  // namespace quelm::test
