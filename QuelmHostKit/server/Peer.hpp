#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "QuelmCore/Bytes.hpp"
#include "QuelmHostKit/server/CompanionConnection.hpp"
#include "QuelmHostKit/server/PeerSendQueue.hpp"

namespace quelm {

// One WebSocket connection of the server: reads the upgrade request itself (to refuse any
// request carrying an Origin header), then delivers every whole text or binary message and
// sends through one bounded queue (Beast allows one write in flight).
// Thread: everything runs on the server's strand, the socket's executor. Lifetime: shared;
// pending operations keep it alive until the socket closes.
class Peer final : public CompanionConnection, public std::enable_shared_from_this<Peer> {
  public:
    using MessageHandler = std::function<void(Bytes)>;

    Peer(boost::asio::ip::tcp::socket socket, std::string host, std::uint64_t id,
         PeerLimits limits);

    // Starts the handshake and then the receive loop. `onText` gets every non-empty text or
    // binary message.
    void start(MessageHandler onText);
    // Cancels the connection (a closing handshake in the background), then finishes the peer:
    // `onClose` runs once, synchronously. Repeated calls do nothing more. Whatever is still in
    // flight, the socket is closed (reset) at the latest `closeTimeout` seconds later.
    void close() override;
    // As close(), but the socket is reset at once, without a closing handshake: for connections
    // that never authenticated or that stopped reading, so that they cost nothing while closing.
    void abort();

    // Runs `onExpired` on the strand after `seconds`, unless the peer finishes first (then the
    // timer goes with it, so a flood of short-lived connections leaves no timers behind).
    void expireAfter(double seconds, std::function<void()> onExpired);

    void sendText(std::string text, Traffic traffic = Traffic::control) override;
    void sendBinary(Bytes bytes, Traffic traffic) override;
    // Sends the text and closes once it has been handed to the socket (or failed); the socket
    // is reset if that has not happened within `closeTimeout` seconds.
    void sendTextThenClose(std::string text);

    const std::string& host() const { return host_; }
    std::uint64_t id() const { return id_; }
    bool closed() const { return closed_; }
    std::size_t queuedBytes() const { return queue_.bytes(); }

    bool authed = false;
    bool rejected = false;
    // Set by the server; runs at most once, taken out before it is called.
    std::function<void()> onClose;

  private:
    // The TCP stream under the WebSocket. Its teardown closes the socket as soon as our close
    // frame is out: Beast's own waits for the companion to close its end first, so a read that
    // failed on a protocol error would not complete for as long as the companion keeps the
    // connection open.
    class Transport : public boost::beast::tcp_stream {
      public:
        using boost::beast::tcp_stream::tcp_stream;

        template <class Handler>
        friend void async_teardown(boost::beast::role_type, Transport& stream, Handler&& handler) {
            auto error = stream.closeNow();
            boost::asio::post(stream.get_executor(), boost::beast::bind_front_handler(
                                                         std::forward<Handler>(handler), error));
        }

      private:
        boost::system::error_code closeNow();
    };
    using WebSocket = boost::beast::websocket::stream<Transport>;
    using RequestParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;

    void onRequest(const boost::system::error_code& error);
    void refuseUpgrade(unsigned version);
    void onAccepted(const boost::system::error_code& error);
    void readNext();
    void onRead(const boost::system::error_code& error);

    void enqueue(PeerSendQueue::Message message);
    void writeNext();
    void onWritten(const boost::system::error_code& error);

    void cancelTransport(bool graceful);
    void armCloseDeadline();
    void resetSocket();
    void finish();

    WebSocket ws_;
    boost::asio::steady_timer deadline_;
    // Bounds every close: a companion that stopped reading never lets a write or a closing
    // handshake complete.
    boost::asio::steady_timer closeDeadline_;
    std::string host_;
    std::uint64_t id_;
    PeerLimits limits_;
    MessageHandler onText_;

    boost::beast::flat_buffer buffer_;
    std::optional<RequestParser> parser_;

    PeerSendQueue queue_;
    bool open_ = false;
    bool cancelled_ = false;
    bool closeDeadlineArmed_ = false;
    bool closed_ = false;
};

}  // namespace quelm
