#include "tests/fakes/RecordingPowerAssertions.hpp"

namespace quelm::test {

PowerAssertions::Id RecordingPowerAssertions::create(Kind kind, const std::string& reason) {
    ++creates;
    held_[++next_] = Held{kind, reason};
    return next_;
}

void RecordingPowerAssertions::release(Id id) {
    if (held_.erase(id) == 0) {
        strayReleases.push_back(id);
    }
}

int RecordingPowerAssertions::holding(Kind kind) const {
    int count = 0;
    for (const auto& [id, held] : held_) {
        count += held.kind == kind;
    }
    return count;
}

}  // namespace quelm::test
