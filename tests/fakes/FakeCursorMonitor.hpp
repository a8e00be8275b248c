#pragma once

#include <mutex>
#include <optional>

#include "QuelmHostKit/platform/CursorMonitor.hpp"

namespace quelm::test {

// Answers the position a test sets; counts the questions. Thread-safe.
class FakeCursorMonitor final : public CursorMonitor {
  public:
    std::optional<PointerPosition> pointerPosition() override;

    void setPosition(std::optional<PointerPosition> position);
    int reads() const;

  private:
    mutable std::mutex mutex_;
    std::optional<PointerPosition> position_;
    int reads_ = 0;
};

}  // namespace quelm::test
