#include "QuelmHostKit/queues/AsioSerialQueue.hpp"

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <future>
#include <memory>

namespace quelm {

namespace {

class AsioRepeatingTimer final : public RepeatingTimer,
                                 public std::enable_shared_from_this<AsioRepeatingTimer> {
  public:
    AsioRepeatingTimer(const AsioSerialQueue::Strand& strand, double interval,
                       SerialQueue::Task task)
        : strand_(strand),
          timer_(std::make_shared<boost::asio::steady_timer>(strand)),
          interval_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double>(interval < 0 ? 0 : interval))),
          task_(std::move(task)) {}

    ~AsioRepeatingTimer() override { cancel(); }

    // On the strand.
    void arm() {
        if (cancelled_.load()) {
            return;
        }
        timer_->expires_after(interval_);
        timer_->async_wait(
            [weak = weak_from_this(), timer = timer_](const boost::system::error_code& error) {
                auto self = weak.lock();
                if (error || !self || self->cancelled_.load()) {
                    return;
                }
                self->task_();
                if (!self->cancelled_.load()) {
                    self->arm();
                }
            });
    }

    void cancel() override {
        if (cancelled_.exchange(true)) {
            return;
        }
        // The wait is only touched on the strand.
        boost::asio::post(strand_, [timer = timer_] { timer->cancel(); });
    }

  private:
    AsioSerialQueue::Strand strand_;
    std::shared_ptr<boost::asio::steady_timer> timer_;
    std::chrono::steady_clock::duration interval_;
    SerialQueue::Task task_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace

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

std::shared_ptr<RepeatingTimer> AsioSerialQueue::every(double interval, Task task) {
    auto timer = std::make_shared<AsioRepeatingTimer>(strand_, interval, std::move(task));
    boost::asio::post(strand_, [weak = std::weak_ptr<AsioRepeatingTimer>(timer)] {
        if (auto timer = weak.lock()) {
            timer->arm();
        }
    });
    return timer;
}

bool AsioSerialQueue::isCurrent() const {
    return strand_.running_in_this_thread();
}

double AsioSerialQueue::now() const {
    return monotonicSeconds();
}

}  // namespace quelm
