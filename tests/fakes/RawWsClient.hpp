#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <string>

#include "QuelmCore/Bytes.hpp"

namespace quelm::test {

// A WebSocket client on a plain blocking socket for loopback tests: it writes frames byte for
// byte (malformed ones included) and reads nothing unless asked, so it can play a companion
// that breaks the protocol or stops reading. Not thread-safe.
class RawWsClient {
  public:
    // Connects to 127.0.0.1 and upgrades. `receiveBufferBytes` > 0 sets a small SO_RCVBUF
    // before connecting, so that the host's writes stall soon once nothing is read.
    bool connect(std::uint16_t port, int receiveBufferBytes = 0);

    // One frame with FIN set; masked as a client must unless `masked` is false.
    void sendFrame(std::uint8_t opcode, const Bytes& payload, bool masked = true);
    void sendText(const std::string& text);

    // Waits up to `seconds` for the host to end the connection, without reading while it is
    // established (reading would let a stalled write go on); true once the socket is reset or
    // at end of stream.
    bool waitEnded(double seconds);

  private:
    bool established();

    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_{io_};
};

}  // namespace quelm::test
