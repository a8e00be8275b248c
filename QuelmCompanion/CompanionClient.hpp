#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "QuelmCompanion/CompanionOptions.hpp"
#include "QuelmCompanion/ExitStatus.hpp"
#include "QuelmCompanion/H264Decoder.hpp"
#include "QuelmCompanion/MessageScript.hpp"
#include "QuelmCompanion/WavWriter.hpp"
#include "QuelmCore/companion/AudioDecoder.hpp"

namespace quelm {

// One companion connection: connects, authenticates, receives and decodes the streams, reports
// and writes what arrives, runs the script, and ends with an exit status. Everything runs on
// the calling thread's event loop.
class CompanionClient final {
  public:
    CompanionClient(CompanionOptions options, MessageScript script);
    ExitStatus run();

  private:
    using Clock = std::chrono::steady_clock;
    using WebSocket = boost::beast::websocket::stream<boost::beast::tcp_stream>;

    struct Window {
        std::uint64_t frames = 0;
        std::uint64_t bytes = 0;
        std::uint64_t largest = 0;
        std::uint64_t decoded = 0;
        double decodeSeconds = 0;
        Clock::time_point start;
    };

    void connect();
    void handshake(const boost::asio::ip::tcp::endpoint& endpoint);
    void read();
    void received(bool text, std::span<const std::uint8_t> data);
    void receivedText(std::string_view text);
    void receivedVideo(std::span<const std::uint8_t> data);
    void receivedAudio(std::span<const std::uint8_t> data);
    void authenticated();
    void runScript(std::size_t index);
    void tick();
    void ping();
    void send(std::string text);
    void writeNext();
    void finish(ExitStatus status);
    void closeSocket();
    void writePicture();
    void printStatistics();
    void printSummary();
    void line(const std::string& text);
    double sinceStart() const;

    CompanionOptions options_;
    MessageScript script_;

    boost::asio::io_context io_;
    boost::asio::ip::tcp::resolver resolver_{io_};
    WebSocket ws_{io_};
    boost::beast::flat_buffer buffer_;
    boost::asio::steady_timer deadline_{io_};
    boost::asio::steady_timer ticker_{io_};
    boost::asio::steady_timer scriptTimer_{io_};
    boost::asio::signal_set signals_{io_};
    std::deque<std::string> outgoing_;
    bool writing_ = false;
    bool open_ = false;
    bool finished_ = false;
    bool closing_ = false;
    std::optional<ExitStatus> status_;

    bool authenticatedOnce_ = false;
    bool acknowledge_ = true;
    bool hostError_ = false;
    bool outputFailed_ = false;
    Clock::time_point start_;

    H264Decoder video_;
    AudioDecoder audio_;
    WavWriter wav_;
    bool pictureDirty_ = false;

    Window window_;
    std::uint64_t totalFrames_ = 0;
    std::uint64_t keyFrames_ = 0;
    std::uint64_t totalBytes_ = 0;
    std::uint64_t undecodable_ = 0;
    std::uint64_t audioPackets_ = 0;
    std::uint64_t audioCookies_ = 0;
    std::uint64_t audioFrames_ = 0;
    std::uint64_t cursorMessages_ = 0;
    std::uint64_t hellos_ = 0;
    int width_ = 0;
    int height_ = 0;
    std::optional<std::pair<double, double>> cursor_;
    std::optional<bool> locked_;
    std::optional<double> rtt_;
    std::deque<double> pings_;
};

}  // namespace quelm
