#include "tests/fakes/CapturingLogSink.hpp"

#include <chrono>

namespace quelm::test {

void CapturingLogSink::write(std::string_view, std::string_view, std::string_view message) {
    {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(message);
    }
    changed_.notify_all();
}

std::vector<std::string> CapturingLogSink::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

int CapturingLogSink::count(const std::string& text, bool prefix) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) {
        if (prefix ? line.rfind(text, 0) == 0 : line == text) {
            ++n;
        }
    }
    return n;
}

bool CapturingLogSink::waitFor(const std::string& prefix, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
        for (const auto& line : lines_) {
            if (line.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    });
}

void CapturingLogSink::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

CapturingLogSink::Scope::Scope()
    : sink_(std::make_shared<CapturingLogSink>()), previous_(Log::setSink(sink_)) {}

CapturingLogSink::Scope::~Scope() {
    Log::setSink(previous_);
}

}  // namespace quelm::test
