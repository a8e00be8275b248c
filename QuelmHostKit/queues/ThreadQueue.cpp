#include "QuelmHostKit/queues/ThreadQueue.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

struct ThreadQueue::State {
    explicit State(std::string label) : label(std::move(label)) {}

    const std::string label;
    std::mutex mutex;
    std::condition_variable wake;
    std::multimap<std::pair<double, std::uint64_t>, Task> tasks;
    std::uint64_t nextOrder = 0;
    bool stopping = false;
};

ThreadQueue::ThreadQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>(label_)) {
    worker_ = std::thread(run, state_);
}

ThreadQueue::~ThreadQueue() {
    std::multimap<std::pair<double, std::uint64_t>, Task> dropped;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        dropped = std::move(state_->tasks);
        state_->tasks.clear();
    }
    state_->wake.notify_all();
    if (worker_.get_id() == std::this_thread::get_id()) {
        // Joining ourselves would fail; the worker sees `stopping` once this task returns.
        worker_.detach();
    } else if (worker_.joinable()) {
        worker_.join();
    }
    // `dropped` goes last, outside the lock: its tasks may hold what releases other queues.
}

void ThreadQueue::async(Task task) {
    after(0, std::move(task));
}

void ThreadQueue::after(double seconds, Task task) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopping) {
            return;
        }
        double due = monotonicSeconds() + std::max(0.0, seconds);
        state_->tasks.emplace(std::make_pair(due, state_->nextOrder++), std::move(task));
    }
    state_->wake.notify_one();
}

bool ThreadQueue::isCurrent() const {
    return std::this_thread::get_id() == worker_.get_id();
}

double ThreadQueue::now() const {
    return monotonicSeconds();
}

void ThreadQueue::run(std::shared_ptr<State> state) {
    pthread_setname_np(pthread_self(), state->label.substr(0, 15).c_str());
    std::unique_lock lock(state->mutex);
    while (!state->stopping) {
        if (state->tasks.empty()) {
            state->wake.wait(lock);
            continue;
        }
        double due = state->tasks.begin()->first.first;
        double now = monotonicSeconds();
        if (due > now) {
            state->wake.wait_for(lock, std::chrono::duration<double>(due - now));
            continue;
        }
        Task task = std::move(state->tasks.begin()->second);
        state->tasks.erase(state->tasks.begin());
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            Log::info(state->label + " task failed: " + e.what());
        }
        // The task (and what it captured, perhaps the queue's last owner) is released outside
        // the lock; the state stays alive through this thread's own reference.
        task = nullptr;
        lock.lock();
    }
}

}  // namespace quelm
