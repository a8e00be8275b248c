#include "tests/fakes/WsTestClient.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <future>

namespace quelm::test {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::asio::ip::tcp;

namespace {
std::chrono::duration<double> seconds(double s) {
    return std::chrono::duration<double>(s);
}
}  // namespace

WsTestClient::WsTestClient() = default;

WsTestClient::~WsTestClient() {
    if (thread_.joinable()) {
        boost::asio::post(io_, [this] {
            beast::error_code ignored;
            beast::get_lowest_layer(*ws_).socket().close(ignored);
            io_.stop();
        });
        thread_.join();
    }
}

bool WsTestClient::connect(const std::string& host, std::uint16_t port, Options options) {
    try {
        ws_.emplace(io_);
        auto& socket = beast::get_lowest_layer(*ws_).socket();
        tcp::endpoint remote(boost::asio::ip::make_address(host), port);
        socket.open(remote.protocol());
        if (!options.bindAddress.empty()) {
            socket.bind(tcp::endpoint(boost::asio::ip::make_address(options.bindAddress), 0));
        }
        if (options.receiveBufferBytes > 0) {
            socket.set_option(
                boost::asio::socket_base::receive_buffer_size(options.receiveBufferBytes));
        }
        socket.connect(remote);
        ws_->set_option(websocket::stream_base::decorator(
            [headers = options.headers](websocket::request_type& request) {
                for (const auto& [name, value] : headers) {
                    request.set(name, value);
                }
            }));
        ws_->read_message_max(0);
        ws_->handshake(host + ":" + std::to_string(port), options.path);
    } catch (const std::exception& e) {
        error_ = e.what();
        return false;
    }
    if (options.read) {
        readNext();
    }
    thread_ = std::thread([this] {
        auto work = boost::asio::make_work_guard(io_);
        io_.run();
    });
    return true;
}

void WsTestClient::readNext() {
    ws_->async_read(buffer_, [this](const beast::error_code& error, std::size_t) {
        std::lock_guard lock(mutex_);
        if (error) {
            closed_ = true;
            changed_.notify_all();
            io_.stop();
            return;
        }
        messages_.push_back(Message{ws_->got_text(), beast::buffers_to_string(buffer_.data())});
        buffer_.consume(buffer_.size());
        changed_.notify_all();
        readNext();
    });
}

template <class F>
void WsTestClient::runOnIo(F&& fn) {
    if (closed()) {
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    boost::asio::post(io_, [&] {
        fn();
        done.set_value();
    });
    // A closed client no longer runs its loop: nothing to wait for then.
    if (finished.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        error_ = "io loop not running";
    }
}

void WsTestClient::sendText(const std::string& text) {
    runOnIo([&] {
        beast::error_code error;
        ws_->text(true);
        ws_->write(boost::asio::buffer(text), error);
    });
}

void WsTestClient::sendBinary(const Bytes& bytes) {
    runOnIo([&] {
        beast::error_code error;
        ws_->binary(true);
        ws_->write(boost::asio::buffer(bytes), error);
    });
}

std::optional<WsTestClient::Message> WsTestClient::receive(double s) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, seconds(s), [this] { return !messages_.empty() || closed_; }) ||
        messages_.empty()) {
        return std::nullopt;
    }
    auto message = std::move(messages_.front());
    messages_.pop_front();
    return message;
}

std::optional<std::string> WsTestClient::receiveText(double s) {
    auto deadline = std::chrono::steady_clock::now() + seconds(s);
    for (;;) {
        double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        auto message = receive(std::max(0.0, left));
        if (!message) {
            return std::nullopt;
        }
        if (message->text) {
            return message->data;
        }
    }
}

bool WsTestClient::waitClosed(double s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, seconds(s), [this] { return closed_; });
}

bool WsTestClient::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::size_t WsTestClient::available() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
}

}  // namespace quelm::test
