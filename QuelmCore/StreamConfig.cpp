#include "QuelmCore/StreamConfig.hpp"

#include <cmath>

namespace quelm {

StreamConfig StreamConfig::clamped() const {
    StreamConfig c = *this;
    if (!std::isfinite(c.bitrateMbps)) {
        c.bitrateMbps = 6.0;
    }
    if (c.maxEdge <= 640)
        c.maxEdge = 640;
    if (c.maxEdge >= 3840)
        c.maxEdge = 3840;
    if (c.bitrateMbps <= 0.5)
        c.bitrateMbps = 0.5;
    if (c.bitrateMbps > 50.0)
        c.bitrateMbps = 50.0;
    if (c.fps <= 5)
        c.fps = 5;
    if (c.fps >= 60)
        c.fps = 60;
    return c;
}

}  // namespace quelm
