#pragma once

#include <functional>
#include <memory>

namespace quelm {

// A cancellable handle on a repeating timer. Cancelling is idempotent; dropping the last
// reference cancels too, so an owner that goes away stops its timers.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    virtual void cancel() = 0;
};

// A serial executor: tasks run one at a time, in submission order, never concurrently.
// Implementations: an Asio strand (the server's queue), the GLib main loop (the main queue),
// a thread of its own, and a manual queue with a virtual clock in tests.
// Thread-safe: every operation may be called from any thread.
class SerialQueue {
public:
    using Task = std::function<void()>;

    virtual ~SerialQueue() = default;

    virtual void async(Task task) = 0;
    // Runs the task once, `seconds` from now (on this queue's clock).
    virtual void after(double seconds, Task task) = 0;
    // Runs the task and waits for it. From this queue itself it runs inline, since waiting for
    // ourselves would never end; otherwise the queue must be running on another thread.
    virtual void sync(Task task);
    // True while the calling thread is running a task of this queue.
    virtual bool isCurrent() const = 0;
    // Seconds on this queue's monotonic clock; the clock its timers run on.
    virtual double now() const = 0;

    // Runs the task every `interval` seconds, the first time one interval from now, until the
    // returned handle is cancelled or released.
    virtual std::shared_ptr<RepeatingTimer> every(double interval, Task task);
};

// Wraps a member callback so that it does nothing once its owner is gone.
template <class T, class F>
auto weakCallback(const std::shared_ptr<T>& owner, F fn) {
    return [weak = std::weak_ptr<T>(owner), fn = std::move(fn)](auto&&... args) {
        if (auto strong = weak.lock()) {
            fn(*strong, std::forward<decltype(args)>(args)...);
        }
    };
}

// Seconds on the process's monotonic clock (std::chrono::steady_clock).
double monotonicSeconds();

}  // namespace quelm
