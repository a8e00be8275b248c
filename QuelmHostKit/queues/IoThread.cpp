#include "QuelmHostKit/queues/IoThread.hpp"

#include <pthread.h>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

IoThread::IoThread(std::string name) : io_(1), work_(boost::asio::make_work_guard(io_)) {
    thread_ = std::thread([this, name = std::move(name)] {
        // Linux thread names are at most 15 characters.
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        for (;;) {
            try {
                io_.run();
                // Out of work (or stopped): drain() waits for this.
                ranOut_.set_value();
                return;
            } catch (const std::exception& e) {
                // A handler that throws must not take the whole host down.
                Log::info(std::string("io handler failed: ") + e.what());
            }
        }
    });
}

IoThread::~IoThread() {
    stop();
}

bool IoThread::drain(double seconds) {
    work_.reset();
    bool ranOut = true;
    if (thread_.joinable()) {
        ranOut = ranOutFuture_.wait_for(std::chrono::duration<double>(seconds)) ==
                 std::future_status::ready;
    }
    stop();
    return ranOut;
}

void IoThread::stop() {
    work_.reset();
    io_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace quelm
