#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "QuelmHostKit/input/InputHandling.hpp"

namespace quelm::test {

// Records the messages handed to it and the releaseAll() calls, in order. Thread-safe.
class RecordingInputHandling final : public InputHandling {
  public:
    void handle(const ClientMessage& message) override;
    void releaseAll() override;

    std::vector<ClientMessage> messages() const;
    int releases() const;
    // Waits until `count` messages have been handled in total.
    bool waitForMessages(std::size_t count, double seconds = 2.0) const;
    bool waitForReleases(int count, double seconds = 2.0) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<ClientMessage> messages_;
    int releases_ = 0;
};

}  // namespace quelm::test
