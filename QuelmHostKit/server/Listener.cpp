#include "QuelmHostKit/server/Listener.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

using boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

// Running out of descriptors or memory is a passing state: accepting again a little later
// serves the next companion, whereas giving the listener up would wait for the next refresh.
bool isTransient(const error_code& error) {
    namespace e = boost::asio::error;
    return error == e::no_descriptors || error == e::no_buffer_space || error == e::no_memory ||
           error == e::connection_aborted || error == e::try_again ||
           error == boost::system::errc::too_many_files_open_in_system;
}

constexpr auto kRetryDelay = std::chrono::milliseconds(100);

}  // namespace

Listener::Listener(const AsioSerialQueue::Strand& strand, std::string address)
    : strand_(strand), acceptor_(strand), address_(std::move(address)) {}

std::shared_ptr<Listener> Listener::open(const AsioSerialQueue::Strand& strand,
                                         const std::string& address, std::uint16_t port,
                                         std::string& error) {
    error_code ec;
    auto ip = boost::asio::ip::make_address(address, ec);
    if (ec) {
        error = ec.message();
        return nullptr;
    }
    std::shared_ptr<Listener> listener(new Listener(strand, address));
    tcp::endpoint endpoint(ip, port);
    auto& acceptor = listener->acceptor_;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(tcp::socket::max_listen_connections, ec);
    }
    if (ec) {
        error = ec.message();
        return nullptr;
    }
    listener->port_ = acceptor.local_endpoint(ec).port();
    return listener;
}

void Listener::start(AcceptHandler onAccept, FailureHandler onFailed) {
    onAccept_ = std::move(onAccept);
    onFailed_ = std::move(onFailed);
    acceptNext();
}

void Listener::cancel() {
    cancelled_ = true;
    error_code ignored;
    acceptor_.close(ignored);
}

void Listener::acceptNext() {
    if (cancelled_) {
        return;
    }
    // Accepted sockets get the strand as their executor, so peers run on the server's queue.
    acceptor_.async_accept(
        strand_,
        boost::asio::bind_executor(
            strand_, weakCallback(shared_from_this(),
                                  [](Listener& self, const error_code& error, tcp::socket socket) {
                                      self.onAccepted(error, std::move(socket));
                                  })));
}

void Listener::onAccepted(const error_code& error, tcp::socket socket) {
    if (cancelled_) {
        return;
    }
    if (!error) {
        transientFailure_ = false;
        if (onAccept_) {
            onAccept_(std::move(socket));
        }
        acceptNext();
        return;
    }
    if (isTransient(error)) {
        // Logged once per run of failures: out of descriptors, every retry would fail alike.
        if (!transientFailure_) {
            Log::info("accept failed on " + address_ + ", retrying: " + error.message());
            transientFailure_ = true;
        }
        auto timer = std::make_shared<boost::asio::steady_timer>(strand_, kRetryDelay);
        timer->async_wait(weakCallback(
            shared_from_this(), [timer](Listener& self, const error_code&) { self.acceptNext(); }));
        return;
    }
    auto onFailed = std::move(onFailed_);
    onFailed_ = nullptr;
    if (onFailed) {
        onFailed(error.message());
    }
}

}  // namespace quelm
