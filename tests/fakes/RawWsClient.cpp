#include "tests/fakes/RawWsClient.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <thread>

namespace quelm::test {

using boost::asio::ip::tcp;

bool RawWsClient::connect(std::uint16_t port, int receiveBufferBytes) {
    boost::system::error_code error;
    tcp::endpoint server(boost::asio::ip::make_address("127.0.0.1"), port);
    socket_.open(server.protocol(), error);
    if (!error && receiveBufferBytes > 0) {
        socket_.set_option(boost::asio::socket_base::receive_buffer_size(receiveBufferBytes),
                           error);
    }
    if (!error) {
        socket_.connect(server, error);
    }
    if (error) {
        return false;
    }
    std::string request =
        "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n";
    boost::asio::write(socket_, boost::asio::buffer(request), error);
    // Byte by byte, so that nothing after the response's headers is taken from the socket.
    std::string response;
    char byte = 0;
    while (!error && !response.ends_with("\r\n\r\n")) {
        if (boost::asio::read(socket_, boost::asio::buffer(&byte, 1), error) == 1) {
            response += byte;
        }
    }
    return !error && response.starts_with("HTTP/1.1 101");
}

void RawWsClient::sendFrame(std::uint8_t opcode, const Bytes& payload, bool masked) {
    Bytes frame{static_cast<std::uint8_t>(0x80 | opcode)};
    std::uint8_t maskBit = masked ? 0x80 : 0;
    if (payload.size() < 126) {
        frame.push_back(static_cast<std::uint8_t>(maskBit | payload.size()));
    } else {
        frame.push_back(maskBit | 126);
        frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
        frame.push_back(static_cast<std::uint8_t>(payload.size()));
    }
    const std::array<std::uint8_t, 4> mask{0x37, 0xFA, 0x21, 0x3D};
    if (masked) {
        frame.insert(frame.end(), mask.begin(), mask.end());
    }
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(masked ? payload[i] ^ mask[i % 4] : payload[i]);
    }
    boost::system::error_code ignored;
    boost::asio::write(socket_, boost::asio::buffer(frame), ignored);
}

void RawWsClient::sendText(const std::string& text) {
    sendFrame(1, Bytes(text.begin(), text.end()));
}

bool RawWsClient::established() {
    tcp_info info{};
    socklen_t length = sizeof(info);
    if (::getsockopt(socket_.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return false;
    }
    return info.tcpi_state == TCP_ESTABLISHED;
}

bool RawWsClient::waitEnded(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (established()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Whatever arrived before the end is read away; then the socket must report the end.
    timeval wait{1, 0};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    std::array<char, 65536> scrap{};
    for (;;) {
        ssize_t got = ::recv(socket_.native_handle(), scrap.data(), scrap.size(), 0);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }
}

}  // namespace quelm::test
