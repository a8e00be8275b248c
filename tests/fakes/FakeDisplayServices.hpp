#pragma once

#include <mutex>
#include <vector>

#include "QuelmHostKit/platform/DisplayServices.hpp"

namespace quelm::test {

// Answers the displays a test sets; counts the questions. Thread-safe.
class FakeDisplayServices final : public DisplayServices {
  public:
    explicit FakeDisplayServices(std::vector<ActiveDisplay> displays = {});

    std::vector<ActiveDisplay> activeDisplays() override;

    void setDisplays(std::vector<ActiveDisplay> displays);
    int queries() const;

  private:
    mutable std::mutex mutex_;
    std::vector<ActiveDisplay> displays_;
    int queries_ = 0;
};

}  // namespace quelm::test
