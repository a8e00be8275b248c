#pragma once

#include "QuelmHostKit/platform/Permissions.hpp"

namespace quelm::test {

class FakePermissions final : public Permissions {
  public:
    bool screen = true;
    bool input = true;

    bool screenCaptureGranted() const override { return screen; }
    bool inputGranted() const override { return input; }
};

}  // namespace quelm::test
