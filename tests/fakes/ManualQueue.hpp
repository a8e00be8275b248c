#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm::test {

// A serial queue that runs nothing on its own: the test advances a virtual clock and the due
// tasks run on the test's thread, in due-time order (submission order among equals). No test
// sleeps for a timer. Tasks may be submitted from any thread.
class ManualQueue final : public SerialQueue {
  public:
    explicit ManualQueue(double start = 1000.0) : now_(start) {}

    void async(Task task) override { after(0, std::move(task)); }
    void after(double seconds, Task task) override;
    // Runs the task inline, as if the caller waited for the queue.
    void sync(Task task) override;
    bool isCurrent() const override { return running_; }
    double now() const override;

    // Runs every task due at the current time, including those they enqueue. Returns how many ran.
    int runPending();
    // Moves the clock forward by `seconds`, running each task at its due time on the way.
    int advance(double seconds);
    // Tasks not yet run.
    std::size_t pendingCount() const;

  private:
    bool runOneDueBy(double limit);

    mutable std::mutex mutex_;
    double now_;
    std::uint64_t nextOrder_ = 0;
    std::multimap<std::pair<double, std::uint64_t>, Task> tasks_;
    bool running_ = false;
};

}  // namespace quelm::test
