#include "QuelmHostKit/streaming/NeverCaptureRegistry.hpp"

namespace quelm {

NeverCaptureRegistry::Id NeverCaptureRegistry::add(const DisplayRect& rect) {
    std::lock_guard lock(mutex_);
    Id id = ++nextId_;
    rects_[id] = rect;
    return id;
}

void NeverCaptureRegistry::set(Id id, const DisplayRect& rect) {
    std::lock_guard lock(mutex_);
    if (auto it = rects_.find(id); it != rects_.end()) {
        it->second = rect;
    }
}

void NeverCaptureRegistry::remove(Id id) {
    std::lock_guard lock(mutex_);
    rects_.erase(id);
}

std::vector<DisplayRect> NeverCaptureRegistry::rectangles() const {
    std::lock_guard lock(mutex_);
    std::vector<DisplayRect> out;
    out.reserve(rects_.size());
    for (const auto& [id, rect] : rects_) {
        out.push_back(rect);
    }
    return out;
}

}  // namespace quelm
