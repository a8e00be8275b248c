#include "QuelmHostKit/queues/AsioSerialQueue.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <future>
#include <memory>

namespace quelm {

AsioSerialQueue::AsioSerialQueue(boost::asio::io_context& io, std::string label)
    : strand_(boost::asio::make_strand(io)), label_(std::move(label)) {}

void AsioSerialQueue::async(Task task) {
    boost::asio::post(strand_, std::move(task));
}

void AsioSerialQueue::after(double seconds, Task task) {
    auto timer = std::make_shared<boost::asio::steady_timer>(strand_);
    auto delay = std::chrono::duration<double>(seconds < 0 ? 0 : seconds);
    timer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay));
    // The handler keeps the timer alive until it fires; a stopped io_context drops both.
    timer->async_wait([timer, task = std::move(task)](const boost::system::error_code& error) {
        if (!error) {
            task();
        }
    });
}

bool AsioSerialQueue::isCurrent() const {
    return strand_.running_in_this_thread();
}

double AsioSerialQueue::now() const {
    return monotonicSeconds();
}

}  // namespace quelm
