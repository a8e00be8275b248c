#include "QuelmHostKit/streaming/PointerPosition.hpp"

#include <algorithm>

namespace quelm {

void PointerPosition::set(double x, double y, double width, double height) {
    if (!(width > 0) || !(height > 0)) {
        return;
    }
    Fraction fraction{std::clamp(x / width, 0.0, 1.0), std::clamp(y / height, 0.0, 1.0)};
    std::lock_guard lock(mutex_);
    fraction_ = fraction;
}

std::optional<PointerPosition::Fraction> PointerPosition::get() const {
    std::lock_guard lock(mutex_);
    return fraction_;
}

void PointerPosition::clear() {
    std::lock_guard lock(mutex_);
    fraction_.reset();
}

}  // namespace quelm
