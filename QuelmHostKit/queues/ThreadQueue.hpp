#pragma once

#include <memory>
#include <string>
#include <thread>

#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

// A SerialQueue with one worker thread of its own, for work that may block (an encode, a grab).
// Tasks run in due-time order, submission order among equals. Destruction stops the worker
// after the running task and drops what is still queued. Destroyed from another thread, it
// waits for the running task; destroyed from a task of its own (its last owner released
// there), it lets the worker finish that task and end by itself.
class ThreadQueue final : public SerialQueue {
  public:
    // `label` names the thread ("quelmix.video"); Linux keeps its first 15 characters.
    explicit ThreadQueue(std::string label);
    ~ThreadQueue() override;
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    void async(Task task) override;
    void after(double seconds, Task task) override;
    bool isCurrent() const override;
    double now() const override;

    const std::string& label() const { return label_; }

  private:
    struct State;
    static void run(std::shared_ptr<State> state);

    const std::string label_;
    // Shared with the worker, which may outlive this object by the end of its running task.
    const std::shared_ptr<State> state_;
    std::thread worker_;
};

}  // namespace quelm
