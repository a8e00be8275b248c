#pragma once

#include "QuelmCore/Messages.hpp"

namespace quelm {

// The server's handle on input injection. Both operations only enqueue and return at once.
class InputHandling {
  public:
    virtual ~InputHandling() = default;

    // One validated input message: move, moveTo, button, dragButton, scroll, key, text,
    // setLayout or system.
    virtual void handle(const ClientMessage& message) = 0;
    // Releases every button and key held down on the companion's behalf.
    virtual void releaseAll() = 0;
};

}  // namespace quelm
