#pragma once

#include "QuelmHostKit/input/InputHandling.hpp"

namespace quelm {

// Stands in for the input injector until it is wired in: input from the companion is dropped.
class IdleInputHandling final : public InputHandling {
  public:
    void handle(const ClientMessage&) override {}
    void releaseAll() override {}
};

}  // namespace quelm
