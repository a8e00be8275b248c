#include "tests/fakes/FakeDisplayServices.hpp"

namespace quelm::test {

FakeDisplayServices::FakeDisplayServices(std::vector<ActiveDisplay> displays)
    : displays_(std::move(displays)) {}

std::vector<ActiveDisplay> FakeDisplayServices::activeDisplays() {
    std::lock_guard lock(mutex_);
    ++queries_;
    return displays_;
}

void FakeDisplayServices::setDisplays(std::vector<ActiveDisplay> displays) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
}

int FakeDisplayServices::queries() const {
    std::lock_guard lock(mutex_);
    return queries_;
}

}  // namespace quelm::test
