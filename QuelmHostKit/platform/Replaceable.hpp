#pragma once

#include <memory>
#include <mutex>

namespace quelm {

// A service that can be swapped for another while callers keep the pointer they were given:
// the platform replaces its services when it reconnects (an X server that came back), and the
// logic, which took them once at start, goes on with the new ones. Thread-safe; a caller
// that got the old service finishes its call on it.
template <class Service>
class Replaceable {
  public:
    explicit Replaceable(std::shared_ptr<Service> service) : current_(std::move(service)) {}

    void replace(std::shared_ptr<Service> service) {
        std::lock_guard lock(mutex_);
        current_ = std::move(service);
    }
    std::shared_ptr<Service> current() const {
        std::lock_guard lock(mutex_);
        return current_;
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<Service> current_;
};

}  // namespace quelm
