#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

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
    // Direction: only from the main queue (or a test's thread) into another queue, never the
    // other way round (two queues waiting on each other never wake), and never into a queue that
    // may have stopped: a sync() into an io_context that no longer runs waits forever. Everything
    // else hops with async() or a queued weakCallback.
    virtual void sync(Task task);
    // True while the calling thread is running a task of this queue.
    virtual bool isCurrent() const = 0;
    // Seconds on this queue's monotonic clock; the clock its timers run on.
    virtual double now() const = 0;

    // Runs the task every `interval` seconds, the first time one interval from now, until the
    // returned handle is cancelled or released.
    virtual std::shared_ptr<RepeatingTimer> every(double interval, Task task);
};

// The one rule for callbacks that a component with state hands out: they hold their owner
// weakly and do nothing once it is gone.
//
// weakCallback(owner, fn): for callbacks that already run on the owner's queue (its timers,
// socket handlers on its strand, tasks it posts to its own queue): calls fn(*owner, args...)
// if the owner still exists. `fn` may be mutable, for one-shot tasks that move what they carry.
template <class T, class F>
auto weakCallback(const std::shared_ptr<T>& owner, F fn) {
    return [weak = std::weak_ptr<T>(owner), fn = std::move(fn)](auto&&... args) mutable {
        if (auto strong = weak.lock()) {
            fn(*strong, std::forward<decltype(args)>(args)...);
        }
    };
}

// weakCallback(queue, owner, fn): for callbacks that may come on any thread (capture, encoder,
// audio): each call hops onto `queue` and there calls fn(*owner, args...) if the owner still
// exists. Queue and owner are both held weakly, and the owner is looked up only on its queue,
// so a foreign thread never keeps it alive, nor destroys it.
template <class T, class F>
auto weakCallback(const std::shared_ptr<SerialQueue>& queue, const std::shared_ptr<T>& owner,
                  F fn) {
    return [weakQueue = std::weak_ptr<SerialQueue>(queue), weak = std::weak_ptr<T>(owner),
            fn = std::move(fn)](auto&&... args) {
        auto queue = weakQueue.lock();
        if (!queue || weak.expired()) {
            return;
        }
        queue->async([weak, fn,
                      ... args = std::decay_t<decltype(args)>(
                          std::forward<decltype(args)>(args))]() mutable {
            if (auto strong = weak.lock()) {
                fn(*strong, std::move(args)...);
            }
        });
    };
}

// Seconds on the process's monotonic clock (std::chrono::steady_clock).
double monotonicSeconds();

}  // namespace quelm
