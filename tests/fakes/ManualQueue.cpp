#include "tests/fakes/ManualQueue.hpp"

#include <algorithm>

namespace quelm::test {

void ManualQueue::after(double seconds, Task task) {
    std::lock_guard lock(mutex_);
    double due = now_ + std::max(0.0, seconds);
    tasks_.emplace(std::make_pair(due, nextOrder_++), std::move(task));
}

void ManualQueue::sync(Task task) {
    bool wasRunning = running_;
    running_ = true;
    task();
    running_ = wasRunning;
}

double ManualQueue::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool ManualQueue::runOneDueBy(double limit) {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (tasks_.empty() || tasks_.begin()->first.first > limit) {
            return false;
        }
        auto first = tasks_.begin();
        now_ = std::max(now_, first->first.first);
        task = std::move(first->second);
        tasks_.erase(first);
    }
    running_ = true;
    task();
    running_ = false;
    return true;
}

int ManualQueue::runPending() {
    int ran = 0;
    while (runOneDueBy(now())) {
        ++ran;
    }
    return ran;
}

int ManualQueue::advance(double seconds) {
    double target = now() + seconds;
    int ran = 0;
    while (runOneDueBy(target)) {
        ++ran;
    }
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, target);
    return ran;
}

std::size_t ManualQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

}  // namespace quelm::test
