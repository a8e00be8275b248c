#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "QuelmHostKit/queues/AsioSerialQueue.hpp"

namespace quelm {

// A TCP listener bound to one local address and port. Accepted sockets and every callback run
// on the given strand. Lifetime: shared; the accept loop holds it weakly, so releasing the last
// reference (or cancel()) ends it.
class Listener final : public std::enable_shared_from_this<Listener> {
  public:
    using AcceptHandler = std::function<void(boost::asio::ip::tcp::socket)>;
    using FailureHandler = std::function<void(const std::string& description)>;

    // Binds and listens; on failure nothing is returned and `error` describes why.
    static std::shared_ptr<Listener> open(const AsioSerialQueue::Strand& strand,
                                          const std::string& address, std::uint16_t port,
                                          std::string& error);

    // Starts accepting. `onFailed` runs once if the listener stops working.
    void start(AcceptHandler onAccept, FailureHandler onFailed);
    void cancel();
    std::uint16_t port() const { return port_; }

  private:
    Listener(const AsioSerialQueue::Strand& strand, std::string address);
    void acceptNext();
    void onAccepted(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);

    AsioSerialQueue::Strand strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::string address_;
    std::uint16_t port_ = 0;
    AcceptHandler onAccept_;
    FailureHandler onFailed_;
    bool cancelled_ = false;
    bool transientFailure_ = false;
};

}  // namespace quelm
