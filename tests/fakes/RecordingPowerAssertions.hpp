#pragma once

#include <map>
#include <string>
#include <vector>

#include "QuelmHostKit/platform/PowerAssertions.hpp"

namespace quelm::test {

// Power assertions in memory: which are held, and every create and release in order.
class RecordingPowerAssertions final : public PowerAssertions {
  public:
    struct Held {
        Kind kind;
        std::string reason;
    };

    Id create(Kind kind, const std::string& reason) override;
    void release(Id id) override;

    const std::map<Id, Held>& held() const { return held_; }
    // How many of this kind are held now.
    int holding(Kind kind) const;
    int creates = 0;
    // Ids released that were not held: a fault in the caller.
    std::vector<Id> strayReleases;

  private:
    Id next_ = 0;
    std::map<Id, Held> held_;
};

}  // namespace quelm::test
