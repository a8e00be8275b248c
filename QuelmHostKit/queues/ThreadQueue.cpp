#include "QuelmHostKit/queues/ThreadQueue.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <future>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

ThreadQueue::ThreadQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::thread([this] { run(); });
}

ThreadQueue::~ThreadQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void ThreadQueue::async(Task task) {
    after(0, std::move(task));
}

void ThreadQueue::after(double seconds, Task task) {
    {
        std::lock_guard lock(mutex_);
        double due = monotonicSeconds() + std::max(0.0, seconds);
        tasks_.emplace(std::make_pair(due, nextOrder_++), std::move(task));
    }
    wake_.notify_one();
}

bool ThreadQueue::isCurrent() const {
    return std::this_thread::get_id() == worker_.get_id();
}

double ThreadQueue::now() const {
    return monotonicSeconds();
}

void ThreadQueue::run() {
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        double due = tasks_.begin()->first.first;
        double now = monotonicSeconds();
        if (due > now) {
            wake_.wait_for(lock, std::chrono::duration<double>(due - now));
            continue;
        }
        Task task = std::move(tasks_.begin()->second);
        tasks_.erase(tasks_.begin());
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            Log::info(label_ + " task failed: " + e.what());
        }
        // The task (and what it captured) is released outside the lock.
        task = nullptr;
        lock.lock();
    }
}

}  // namespace quelm
