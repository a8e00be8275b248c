#include "QuelmHostKit/linux/SessionReconnector.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

SessionReconnector::SessionReconnector(Options options) : options_(std::move(options)) {
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), options_.threadName.substr(0, 15).c_str());
        run();
    });
}

SessionReconnector::~SessionReconnector() {
    stop();
}

void SessionReconnector::lost() {
    {
        std::lock_guard lock(mutex_);
        lost_ = true;
    }
    wake_.notify_all();
}

void SessionReconnector::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void SessionReconnector::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait(lock, [this] { return stopping_ || lost_; });
        // A loss reported from now on, even during a successful attempt, is a new one.
        lost_ = false;
        double pause = options_.firstPause;
        std::optional<std::string> logged;
        while (!stopping_) {
            wake_.wait_for(lock, std::chrono::duration<double>(pause),
                           [this] { return stopping_; });
            if (stopping_) {
                break;
            }
            lock.unlock();
            const auto failure = options_.attempt();
            if (!failure) {
                Log::info(options_.what + " is back: the screen is offered again");
            } else if (failure != logged) {
                Log::info(options_.what + " is not back yet, trying again: " + *failure);
            }
            lock.lock();
            if (!failure) {
                break;
            }
            logged = failure;
            pause = std::min(pause * 2, options_.longestPause);
        }
    }
}

}  // namespace quelm
