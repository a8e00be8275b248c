#include "tests/fakes/FakeCursorMonitor.hpp"

namespace quelm::test {

std::optional<PointerPosition> FakeCursorMonitor::pointerPosition() {
    std::lock_guard lock(mutex_);
    ++reads_;
    return position_;
}

void FakeCursorMonitor::setPosition(std::optional<PointerPosition> position) {
    std::lock_guard lock(mutex_);
    position_ = position;
}

int FakeCursorMonitor::reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

}  // namespace quelm::test
