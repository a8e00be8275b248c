#pragma once

#include <optional>
#include <string>

#include "QuelmHostKit/platform/LoginItem.hpp"

namespace quelm::test {

// A login item in memory; `failWith` makes the next changes fail with that text.
class FakeLoginItem final : public LoginItem {
  public:
    bool enabled = false;
    std::optional<std::string> failWith;

    bool isEnabled() const override { return enabled; }
    std::optional<std::string> setEnabled(bool value) override {
        if (failWith) {
            return failWith;
        }
        enabled = value;
        return std::nullopt;
    }
};

}  // namespace quelm::test
