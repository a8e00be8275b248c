#include "QuelmHostKit/queues/SerialQueue.hpp"

#include <atomic>
#include <chrono>
#include <future>

namespace quelm {

namespace {

// Re-arms itself with after() after each tick; the tick holds only a weak reference, so a
// released handle ends the chain at its next firing.
class ChainedTimer final : public RepeatingTimer,
                           public std::enable_shared_from_this<ChainedTimer> {
  public:
    ChainedTimer(SerialQueue& queue, double interval, SerialQueue::Task task)
        : queue_(queue), interval_(interval), task_(std::move(task)) {}

    void arm() {
        std::weak_ptr<ChainedTimer> weak = shared_from_this();
        queue_.after(interval_, [weak] {
            auto self = weak.lock();
            if (!self || self->cancelled_.load()) {
                return;
            }
            self->task_();
            if (!self->cancelled_.load()) {
                self->arm();
            }
        });
    }

    void cancel() override { cancelled_.store(true); }

  private:
    // The queue outlives its timers: owners cancel or drop them before their queue goes.
    SerialQueue& queue_;
    double interval_;
    SerialQueue::Task task_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace

void SerialQueue::sync(Task task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    async([&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

std::shared_ptr<RepeatingTimer> SerialQueue::every(double interval, Task task) {
    auto timer = std::make_shared<ChainedTimer>(*this, interval, std::move(task));
    timer->arm();
    return timer;
}

double monotonicSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace quelm
