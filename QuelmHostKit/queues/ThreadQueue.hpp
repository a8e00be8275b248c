#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

// A SerialQueue with one worker thread of its own, for work that may block (an encode, a grab).
// Tasks run in due-time order, submission order among equals. Destruction stops the worker
// after the running task and drops what is still queued; never destroy it from its own thread.
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
    void run();

    std::string label_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::pair<double, std::uint64_t>, Task> tasks_;
    std::uint64_t nextOrder_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace quelm
