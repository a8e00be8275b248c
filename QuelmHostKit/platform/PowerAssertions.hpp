#pragma once

#include <cstdint>
#include <string>

namespace quelm {

// Keeps the machine or its display from going idle while an assertion is held.
// Thread: main thread only. Creating never waits: the platform is asked in the background,
// and an assertion released before the platform answered is given back when it does.
class PowerAssertions {
  public:
    enum class Kind {
        preventIdleSystemSleep,   // the machine stays awake and reachable
        preventIdleDisplaySleep,  // the screen stays on
    };
    using Id = std::uint32_t;

    virtual ~PowerAssertions() = default;
    // A non-zero id to release later.
    virtual Id create(Kind kind, const std::string& reason) = 0;
    virtual void release(Id id) = 0;
};

}  // namespace quelm
