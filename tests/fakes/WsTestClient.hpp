#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QuelmCore/Bytes.hpp"

namespace quelm::test {

// A real WebSocket client for loopback tests. Its own thread runs the socket; received
// messages queue up until the test takes them. Thread-safe for one test thread.
class WsTestClient {
  public:
    struct Message {
        bool text = false;
        std::string data;
    };
    struct Options {
        // Local address to connect from (any address of 127.0.0.0/8); empty for any.
        std::string bindAddress;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string path = "/ws";
        // False: never reads after the handshake, like a companion that stalls.
        bool read = true;
        // A small receive buffer (SO_RCVBUF) makes a stalled client push back sooner; 0 keeps
        // the system's.
        int receiveBufferBytes = 0;
    };

    WsTestClient();
    ~WsTestClient();
    WsTestClient(const WsTestClient&) = delete;
    WsTestClient& operator=(const WsTestClient&) = delete;

    // Connects and performs the handshake; false with error() set when either fails.
    bool connect(const std::string& host, std::uint16_t port, Options options);
    bool connect(const std::string& host, std::uint16_t port) { return connect(host, port, {}); }
    const std::string& error() const { return error_; }

    void sendText(const std::string& text);
    void sendBinary(const Bytes& bytes);

    // The next message, waiting up to `seconds`.
    std::optional<Message> receive(double seconds = 2.0);
    // The next text message, skipping binary ones.
    std::optional<std::string> receiveText(double seconds = 2.0);
    // True once the connection has ended (close frame, end of stream or error) within `seconds`.
    bool waitClosed(double seconds = 2.0);
    bool closed() const;
    // Messages received and not yet taken.
    std::size_t available() const;

  private:
    using WebSocket = boost::beast::websocket::stream<boost::beast::tcp_stream>;

    void readNext();
    template <class F>
    void runOnIo(F&& fn);

    boost::asio::io_context io_;
    std::optional<WebSocket> ws_;
    boost::beast::flat_buffer buffer_;
    std::thread thread_;
    std::string error_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Message> messages_;
    bool closed_ = false;
};

}  // namespace quelm::test
