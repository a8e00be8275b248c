#pragma once

#include <cstdint>

namespace quelm {

// The video parameters a companion asks for. Decoded as they come; the host brings them into
// its supported range with clamped() before use.
struct StreamConfig {
    std::int64_t maxEdge = 0;
    double bitrateMbps = 0;
    std::int64_t fps = 0;

    StreamConfig clamped() const;

    friend bool operator==(const StreamConfig&, const StreamConfig&) = default;
};

}  // namespace quelm
