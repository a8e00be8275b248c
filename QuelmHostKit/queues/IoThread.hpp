#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <future>
#include <string>
#include <thread>

namespace quelm {

// An io_context with one thread of its own that runs it until stop() or destruction.
// Owners of sockets and timers on it release them (or stop their work) before this goes.
class IoThread final {
  public:
    explicit IoThread(std::string name);
    ~IoThread();
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    boost::asio::io_context& context() { return io_; }
    // Lets the loop run out of work (closing handshakes, pending writes) for up to `seconds`,
    // then stops it and joins the thread. True when it ran out of work in time. Owners end
    // their long-lived work (listeners, timers) first. Never call it from the thread itself.
    bool drain(double seconds);
    // Stops the loop and joins the thread; pending handlers are dropped. Idempotent; never
    // call it from the thread itself.
    void stop();

  private:
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    // Set when the loop ends.
    std::promise<void> ranOut_;
    std::future<void> ranOutFuture_ = ranOut_.get_future();
    std::thread thread_;
};

}  // namespace quelm
