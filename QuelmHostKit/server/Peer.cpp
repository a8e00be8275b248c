#include "QuelmHostKit/server/Peer.hpp"

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <chrono>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;

namespace {

// Upgrade requests carry no body; their headers stay small.
constexpr std::uint32_t kMaxRequestHeaderBytes = 8192;

bool hasOriginHeader(const http::request<http::empty_body>& request) {
    for (const auto& field : request) {
        if (beast::iequals(field.name_string(), "origin")) {
            return true;
        }
    }
    return false;
}

std::chrono::steady_clock::duration toDuration(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(value));
}

}  // namespace

error_code Peer::Transport::closeNow() {
    // Unread input would turn the close into a reset that can overtake our close frame.
    error_code error;
    auto& tcp = socket();
    tcp.shutdown(boost::asio::ip::tcp::socket::shutdown_send, error);
    std::array<char, 4096> scrap{};
    while (tcp.is_open() && tcp.available(error) > 0 && !error) {
        tcp.receive(boost::asio::buffer(scrap), 0, error);
    }
    error_code closing;
    tcp.close(closing);
    return {};
}

Peer::Peer(boost::asio::ip::tcp::socket socket, std::string host, std::uint64_t id,
           PeerLimits limits)
    : ws_(std::move(socket)),
      deadline_(ws_.get_executor()),
      closeDeadline_(ws_.get_executor()),
      host_(std::move(host)),
      id_(id),
      limits_(limits),
      queue_(limits) {}

void Peer::expireAfter(double seconds, std::function<void()> onExpired) {
    deadline_.expires_after(toDuration(seconds));
    deadline_.async_wait(
        [weak = weak_from_this(), onExpired = std::move(onExpired)](const error_code& error) {
            if (!error && weak.lock()) {
                onExpired();
            }
        });
}

void Peer::start(MessageHandler onText) {
    onText_ = std::move(onText);
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    parser_.emplace();
    parser_->header_limit(kMaxRequestHeaderBytes);
    parser_->body_limit(0);
    http::async_read(ws_.next_layer(), buffer_, *parser_,
                     [self = shared_from_this()](const error_code& error, std::size_t) {
                         self->onRequest(error);
                     });
}

void Peer::onRequest(const error_code& error) {
    if (error || cancelled_) {
        // A connection that ends or sends garbage before the upgrade just finishes.
        close();
        return;
    }
    auto request = parser_->release();
    parser_.reset();
    if (hasOriginHeader(request)) {
        refuseUpgrade(request.version());
        return;
    }
    ws_.set_option(websocket::stream_base::timeout{
        std::chrono::duration_cast<websocket::stream_base::duration>(
            std::chrono::duration<double>(limits_.closeTimeout)),
        websocket::stream_base::none(), false});
    ws_.read_message_max(limits_.maxMessageBytes);
    ws_.auto_fragment(false);
    ws_.async_accept(
        request, [self = shared_from_this()](const error_code& error) { self->onAccepted(error); });
}

void Peer::refuseUpgrade(unsigned version) {
    // Browsers always send Origin; the companion never does. Refusing here keeps web pages
    // from reaching the host through the user's own browser.
    auto response =
        std::make_shared<http::response<http::string_body>>(http::status::forbidden, version);
    response->set(http::field::connection, "close");
    response->prepare_payload();
    http::async_write(
        ws_.next_layer(), *response,
        [self = shared_from_this(), response](const error_code&, std::size_t) { self->close(); });
}

void Peer::onAccepted(const error_code& error) {
    if (error || cancelled_) {
        close();
        return;
    }
    open_ = true;
    buffer_.clear();
    readNext();
    writeNext();
}

void Peer::readNext() {
    ws_.async_read(buffer_, [self = shared_from_this()](const error_code& error, std::size_t) {
        self->onRead(error);
    });
}

void Peer::onRead(const error_code& error) {
    if (error || cancelled_) {
        // Includes a close frame from the companion and a message over the size limit.
        close();
        return;
    }
    auto data = buffer_.data();
    Bytes bytes(static_cast<const std::uint8_t*>(data.data()),
                static_cast<const std::uint8_t*>(data.data()) + data.size());
    buffer_.consume(buffer_.size());
    // Text and binary are the only data opcodes Beast delivers; empty messages are dropped.
    if (!bytes.empty() && onText_) {
        onText_(std::move(bytes));
    }
    if (!closed_) {
        readNext();
    }
}

void Peer::sendText(std::string text, Traffic traffic) {
    enqueue({Bytes(text.begin(), text.end()), true, traffic, false});
}

void Peer::sendBinary(Bytes bytes, Traffic traffic) {
    enqueue({std::move(bytes), false, traffic, false});
}

void Peer::sendTextThenClose(std::string text) {
    enqueue({Bytes(text.begin(), text.end()), true, Traffic::control, true});
    if (!closed_) {
        armCloseDeadline();
    }
}

void Peer::enqueue(PeerSendQueue::Message message) {
    if (closed_ || cancelled_) {
        return;
    }
    if (!queue_.push(std::move(message))) {
        Log::info("send queue full, closing " + host_);
        // It reads too slowly to take a closing handshake either.
        abort();
        return;
    }
    writeNext();
}

void Peer::writeNext() {
    if (queue_.writing() || queue_.empty() || !open_ || cancelled_) {
        return;
    }
    queue_.startWriting();
    const auto& message = queue_.front();
    ws_.text(message.text);
    ws_.async_write(boost::asio::buffer(message.data),
                    [self = shared_from_this()](const error_code& error, std::size_t) {
                        self->onWritten(error);
                    });
}

void Peer::onWritten(const error_code& error) {
    bool thenClose = queue_.finishWriting().thenClose;
    if (error || thenClose) {
        close();
        return;
    }
    writeNext();
}

void Peer::close() {
    cancelTransport(true);
    finish();
}

void Peer::abort() {
    cancelTransport(false);
    finish();
}

void Peer::cancelTransport(bool graceful) {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    // Keep the message on the wire (Beast finishes it before the close frame), drop the rest.
    queue_.dropWaiting();
    if (!graceful) {
        resetSocket();
        return;
    }
    if (open_) {
        // A closing handshake rather than a reset, so that a final message (authFailed,
        // replaced) reaches the companion. It starts only once the write in flight is done,
        // hence the deadline of its own.
        armCloseDeadline();
        ws_.async_close(websocket::close_code::normal,
                        [self = shared_from_this()](const error_code&) {
                            self->closeDeadline_.cancel();
                            error_code ignored;
                            beast::get_lowest_layer(self->ws_).socket().close(ignored);
                        });
        return;
    }
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both,
                                                   ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
}

void Peer::armCloseDeadline() {
    if (closeDeadlineArmed_) {
        return;
    }
    closeDeadlineArmed_ = true;
    closeDeadline_.expires_after(toDuration(limits_.closeTimeout));
    // Holds the peer: it lives at most until the deadline, which cancels every operation.
    closeDeadline_.async_wait([self = shared_from_this()](const error_code& error) {
        if (error) {
            return;
        }
        self->cancelled_ = true;
        self->queue_.dropWaiting();
        self->resetSocket();
        self->finish();
    });
}

void Peer::resetSocket() {
    // No lingering: unsent data to a companion that does not read would keep the connection
    // (and its buffers) alive in the kernel long after we let go of it.
    auto& socket = beast::get_lowest_layer(ws_).socket();
    error_code ignored;
    socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
    closeDeadline_.cancel();
}

void Peer::finish() {
    if (closed_) {
        return;
    }
    closed_ = true;
    deadline_.cancel();
    auto callback = std::move(onClose);
    onClose = nullptr;
    if (callback) {
        callback();
    }
}

}  // namespace quelm
