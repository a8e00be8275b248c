#pragma once

#include <vector>

#include "QuelmHostKit/platform/DisplayServices.hpp"
#include "QuelmHostKit/platform/Replaceable.hpp"

namespace quelm {

// The displays of whichever DisplayServices is current; none without one.
class ReplaceableDisplayServices final : public DisplayServices,
                                         public Replaceable<DisplayServices> {
  public:
    using Replaceable::Replaceable;

    std::vector<ActiveDisplay> activeDisplays() override {
        const auto service = current();
        return service ? service->activeDisplays() : std::vector<ActiveDisplay>{};
    }
};

}  // namespace quelm
