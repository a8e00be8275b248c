#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelmHostKit/platform/DisplayServices.hpp"

namespace quelm {

// Rectangles of the screen that no captured picture may show (the host's own windows that
// display the connection secret), in the global display space. The application places and
// moves them; capture blacks them out of every picture.
//
// Thread-safe: one lock, held only to copy.
class NeverCaptureRegistry final {
  public:
    using Id = std::uint64_t;

    // Adds a rectangle and returns its id for set() and remove().
    Id add(const DisplayRect& rect);
    void set(Id id, const DisplayRect& rect);
    void remove(Id id);
    std::vector<DisplayRect> rectangles() const;

  private:
    mutable std::mutex mutex_;
    Id nextId_ = 0;
    std::map<Id, DisplayRect> rects_;
};

}  // namespace quelm
