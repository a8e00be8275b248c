#include "tests/fakes/RecordingInputHandling.hpp"

#include <chrono>

namespace quelm::test {

void RecordingInputHandling::handle(const ClientMessage& message) {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
    changed_.notify_all();
}

void RecordingInputHandling::releaseAll() {
    std::lock_guard lock(mutex_);
    ++releases_;
    changed_.notify_all();
}

std::vector<ClientMessage> RecordingInputHandling::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

int RecordingInputHandling::releases() const {
    std::lock_guard lock(mutex_);
    return releases_;
}

bool RecordingInputHandling::waitForMessages(std::size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return messages_.size() >= count; });
}

bool RecordingInputHandling::waitForReleases(int count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return releases_ >= count; });
}

}  // namespace quelm::test
