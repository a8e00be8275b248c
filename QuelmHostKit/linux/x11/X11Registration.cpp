#include "QuelmHostKit/linux/x11/X11Registration.hpp"

#include <utility>

namespace quelm {

X11Registration::X11Registration(std::function<void()> unregister)
    : unregister_(std::move(unregister)) {}

X11Registration::~X11Registration() {
    reset();
}

X11Registration::X11Registration(X11Registration&& other) noexcept
    : unregister_(std::exchange(other.unregister_, nullptr)) {}

X11Registration& X11Registration::operator=(X11Registration&& other) noexcept {
    if (this != &other) {
        reset();
        unregister_ = std::exchange(other.unregister_, nullptr);
    }
    return *this;
}

void X11Registration::reset() {
    if (auto unregister = std::exchange(unregister_, nullptr)) {
        unregister();
    }
}

}  // namespace quelm
