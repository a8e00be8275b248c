#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <string>

#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

// A SerialQueue over a strand of an io_context, so that sockets, timers and the state of their
// owner share one serial executor. Whoever runs the io_context runs the tasks; the io_context
// must outlive the queue. Thread-safe.
class AsioSerialQueue final : public SerialQueue {
  public:
    using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;

    AsioSerialQueue(boost::asio::io_context& io, std::string label);

    void async(Task task) override;
    void after(double seconds, Task task) override;
    // Cancelling or releasing the handle also cancels the pending wait, so a stopped timer
    // leaves no work behind that would keep the io_context from running out (see
    // IoThread::drain).
    std::shared_ptr<RepeatingTimer> every(double interval, Task task) override;
    bool isCurrent() const override;
    double now() const override;

    // The strand, for sockets and timers that must run their handlers on this queue.
    const Strand& strand() const { return strand_; }
    const std::string& label() const { return label_; }

  private:
    Strand strand_;
    std::string label_;
};

}  // namespace quelm
