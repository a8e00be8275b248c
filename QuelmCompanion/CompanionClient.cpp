#include "QuelmCompanion/CompanionClient.hpp"

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/beast/websocket.hpp>
#include <cinttypes>
#include <csignal>
#include <cstdio>

#include "QuelmCompanion/PngWriter.hpp"
#include "QuelmCore/AudioPacket.hpp"
#include "QuelmCore/Messages.hpp"
#include "QuelmCore/VideoFrame.hpp"
#include "QuelmCore/WireCoder.hpp"

extern "C" {
#include <libavutil/frame.h>
}

namespace quelm {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::asio::ip::tcp;

namespace {

std::chrono::steady_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

double uptime() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CompanionClient::CompanionClient(CompanionOptions options, MessageScript script)
    : options_(std::move(options)), script_(std::move(script)) {
    acknowledge_ = options_.acknowledge;
}

ExitStatus CompanionClient::run() {
    if (!options_.wavPath.empty() && !wav_.open(options_.wavPath)) {
        std::fprintf(stderr, "quelmix-companion: cannot write %s\n", options_.wavPath.c_str());
        return ExitStatus::outputFailed;
    }
    signals_.add(SIGINT);
    signals_.add(SIGTERM);
    signals_.async_wait([this](const boost::system::error_code& error, int) {
        if (!error) {
            line("interrupted");
            finish(ExitStatus::ok);
        }
    });
    deadline_.expires_after(toDuration(options_.connectTimeout));
    deadline_.async_wait([this](const boost::system::error_code& error) {
        if (!error && !authenticatedOnce_) {
            line("error: no answer from " + options_.host + ":" + std::to_string(options_.port) +
                 " within " + fixed(options_.connectTimeout, 1) + " s");
            finish(ExitStatus::connectFailed);
        }
    });
    connect();
    io_.run();
    if (video_.latest() != nullptr && !options_.pngPath.empty() && pictureDirty_) {
        writePicture();
    }
    printSummary();
    ExitStatus status = status_.value_or(ExitStatus::ok);
    if (status == ExitStatus::ok && hostError_) {
        status = ExitStatus::hostError;
    }
    if (status == ExitStatus::ok && options_.frames > 0 && totalFrames_ < options_.frames) {
        status = ExitStatus::framesMissing;
    }
    if (status == ExitStatus::ok && outputFailed_) {
        status = ExitStatus::outputFailed;
    }
    return status;
}

void CompanionClient::connect() {
    resolver_.async_resolve(
        options_.host, std::to_string(options_.port),
        [this](const boost::system::error_code& error, tcp::resolver::results_type results) {
            if (finished_) {
                return;
            }
            if (error) {
                line("error: cannot resolve " + options_.host + ": " + error.message());
                finish(ExitStatus::connectFailed);
                return;
            }
            beast::get_lowest_layer(ws_).async_connect(
                results,
                [this](const boost::system::error_code& error, const tcp::endpoint& endpoint) {
                    if (finished_) {
                        return;
                    }
                    if (error) {
                        line("error: cannot connect to " + options_.host + ":" +
                             std::to_string(options_.port) + ": " + error.message());
                        finish(ExitStatus::connectFailed);
                        return;
                    }
                    handshake(endpoint);
                });
        });
}

void CompanionClient::handshake(const tcp::endpoint& endpoint) {
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
    ws_.read_message_max(64u << 20);
    ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
        request.set(beast::http::field::user_agent, "quelmix-companion");
    }));
    std::string host = options_.host + ":" + std::to_string(options_.port);
    ws_.async_handshake(host, "/ws", [this](const boost::system::error_code& error) {
        if (finished_) {
            return;
        }
        if (error) {
            line("error: WebSocket handshake failed: " + error.message());
            finish(ExitStatus::connectFailed);
            return;
        }
        open_ = true;
        if (options_.verbose) {
            line("connected to " + options_.host + ":" + std::to_string(options_.port));
        }
        ClientHello hello(options_.token, options_.config, options_.layout, options_.display);
        send(*WireCoder::encode(ClientMessage{ClientMessage::Hello{hello}}));
        read();
    });
}

void CompanionClient::read() {
    ws_.async_read(buffer_, [this](const boost::system::error_code& error, std::size_t) {
        if (finished_) {
            return;
        }
        if (error) {
            open_ = false;
            std::string why = error == websocket::error::closed
                                  ? "closed by the host"
                                  : "connection lost: " + error.message();
            if (!authenticatedOnce_) {
                line("error: " + why + " before the host's hello");
                finish(ExitStatus::connectFailed);
            } else {
                line("end: " + why);
                finish(ExitStatus::closedByHost);
            }
            return;
        }
        auto data = buffer_.cdata();
        received(ws_.got_text(),
                 std::span(static_cast<const std::uint8_t*>(data.data()), data.size()));
        buffer_.consume(buffer_.size());
        if (!finished_) {
            read();
        }
    });
}

void CompanionClient::received(bool text, std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return;
    }
    switch (data[0]) {
        case VideoFrame::tag:
            receivedVideo(data);
            return;
        case AudioPacket::tag:
            receivedAudio(data);
            return;
        case 4:
            if (options_.verbose) {
                line("clipboard image chunk: " + std::to_string(data.size()) + " bytes");
            }
            return;
        default:
            receivedText(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    }
}

void CompanionClient::receivedText(std::string_view text) {
    auto message = WireCoder::decode<ServerMessage>(text);
    if (!message) {
        line("unreadable message: " + std::string(text.substr(0, 200)));
        return;
    }
    if (const auto* hello = std::get_if<ServerMessage::Hello>(&*message)) {
        ++hellos_;
        line("hello: " + WireCoder::encode(hello->info).value_or("{}"));
        if (!authenticatedOnce_) {
            authenticated();
        }
    } else if (std::holds_alternative<ServerMessage::AuthFailed>(*message)) {
        line("error: authentication failed (wrong connection secret)");
        finish(ExitStatus::authFailed);
    } else if (std::holds_alternative<ServerMessage::Replaced>(*message)) {
        line("end: replaced by another companion");
        finish(ExitStatus::closedByHost);
    } else if (const auto* error = std::get_if<ServerMessage::Error>(&*message)) {
        hostError_ = true;
        line("error: " + error->code);
    } else if (const auto* pong = std::get_if<ServerMessage::Pong>(&*message)) {
        // Only our own pings measure the round trip; a script's ping carries any number.
        if (std::find(pings_.begin(), pings_.end(), pong->ts) != pings_.end()) {
            rtt_ = uptime() - pong->ts;
        } else if (options_.verbose) {
            line("message: " + std::string(text));
        }
    } else if (const auto* cursor = std::get_if<ServerMessage::Cursor>(&*message)) {
        ++cursorMessages_;
        cursor_ = std::pair(cursor->x, cursor->y);
        if (options_.verbose) {
            line("message: " + std::string(text));
        }
    } else if (const auto* locked = std::get_if<ServerMessage::ScreenLocked>(&*message)) {
        locked_ = locked->locked;
        line("message: " + std::string(text));
    } else if (const auto* clipboard = std::get_if<ServerMessage::Clipboard>(&*message)) {
        line(options_.verbose ? "message: " + std::string(text)
                              : "clipboard: " + std::to_string(clipboard->text.size()) + " bytes");
    }
}

void CompanionClient::authenticated() {
    authenticatedOnce_ = true;
    start_ = Clock::now();
    window_ = Window{};
    window_.start = start_;
    deadline_.cancel();
    if (options_.audioKbps > 0) {
        send(*WireCoder::encode(ClientMessage{ClientMessage::Audio{options_.audioKbps}}));
    }
    if (options_.duration > 0) {
        deadline_.expires_at(start_ + toDuration(options_.duration));
        deadline_.async_wait([this](const boost::system::error_code& error) {
            if (!error) {
                finish(ExitStatus::ok);
            }
        });
    }
    ticker_.expires_at(start_ + toDuration(options_.statsInterval));
    ticker_.async_wait([this](const boost::system::error_code& error) {
        if (!error) {
            tick();
        }
    });
    if (options_.stats) {
        ping();
    }
    runScript(0);
}

void CompanionClient::runScript(std::size_t index) {
    if (index >= script_.steps.size() || finished_) {
        return;
    }
    const auto& step = script_.steps[index];
    scriptTimer_.expires_at(start_ + toDuration(step.at));
    scriptTimer_.async_wait([this, index](const boost::system::error_code& error) {
        if (error || finished_) {
            return;
        }
        const auto& step = script_.steps[index];
        if (step.acknowledge) {
            acknowledge_ = *step.acknowledge;
            line(std::string("script: acknowledging ") + (acknowledge_ ? "on" : "off"));
        }
        if (!step.send.empty()) {
            if (options_.verbose) {
                line("script: sent " + step.send);
            }
            send(step.send);
        }
        runScript(index + 1);
    });
}

void CompanionClient::receivedVideo(std::span<const std::uint8_t> data) {
    auto frame = VideoFrame::decode(data);
    if (!frame) {
        line("unreadable video frame: " + std::to_string(data.size()) + " bytes");
        return;
    }
    ++totalFrames_;
    keyFrames_ += frame->isKey ? 1 : 0;
    totalBytes_ += data.size();
    ++window_.frames;
    window_.bytes += data.size();
    window_.largest = std::max<std::uint64_t>(window_.largest, data.size());
    width_ = frame->width;
    height_ = frame->height;

    bool decoded = false;
    if (options_.decode) {
        auto before = Clock::now();
        decoded = video_.decode(*frame);
        double took = std::chrono::duration<double>(Clock::now() - before).count();
        if (decoded) {
            ++window_.decoded;
            window_.decodeSeconds += took;
            pictureDirty_ = true;
        } else {
            ++undecodable_;
        }
    }
    if (options_.verbose) {
        line("video seq=" + std::to_string(frame->seq) + " key=" + (frame->isKey ? "1" : "0") +
             " size=" + std::to_string(frame->width) + "x" + std::to_string(frame->height) +
             " bytes=" + std::to_string(data.size()) + " decoded=" + (decoded ? "1" : "0") +
             " t=" + fixed(sinceStart(), 3));
    }
    // Acknowledged whether or not it decoded: the host's gate counts frames, not pictures.
    if (acknowledge_) {
        send(*WireCoder::encode(ClientMessage{ClientMessage::Ack{frame->seq}}));
    }
    if (options_.frames > 0 && totalFrames_ >= options_.frames) {
        finish(ExitStatus::ok);
    }
}

void CompanionClient::receivedAudio(std::span<const std::uint8_t> data) {
    auto packet = AudioPacket::decode(data);
    if (!packet) {
        line("unreadable audio packet: " + std::to_string(data.size()) + " bytes");
        return;
    }
    ++audioPackets_;
    audioCookies_ += packet->cookie.empty() ? 0 : 1;
    auto pcm = audio_.decode(*packet);
    if (pcm) {
        audioFrames_ += static_cast<std::uint64_t>(pcm->frameLength());
        if (!options_.wavPath.empty() && !outputFailed_ && !wav_.append(*pcm)) {
            outputFailed_ = true;
            line("error: cannot write " + options_.wavPath);
        }
    }
    if (options_.verbose) {
        line("audio seq=" + std::to_string(packet->seq) +
             " units=" + std::to_string(packet->units.size()) +
             " cookie=" + std::to_string(packet->cookie.size()) +
             " frames=" + std::to_string(pcm ? pcm->frameLength() : 0));
    }
}

void CompanionClient::tick() {
    if (finished_) {
        return;
    }
    if (pictureDirty_ && !options_.pngPath.empty()) {
        writePicture();
    }
    if (options_.stats) {
        printStatistics();
        ping();
    }
    window_ = Window{};
    window_.start = Clock::now();
    ticker_.expires_at(ticker_.expiry() + toDuration(options_.statsInterval));
    ticker_.async_wait([this](const boost::system::error_code& error) {
        if (!error) {
            tick();
        }
    });
}

void CompanionClient::ping() {
    double ts = uptime();
    pings_.push_back(ts);
    if (pings_.size() > 8) {
        pings_.pop_front();
    }
    send(*WireCoder::encode(ClientMessage{ClientMessage::Ping{ts}}));
}

void CompanionClient::writePicture() {
    const AVFrame* picture = video_.latest();
    if (picture == nullptr) {
        return;
    }
    pictureDirty_ = false;
    if (!PngWriter::write(*picture, options_.pngPath)) {
        if (!outputFailed_) {
            line("error: cannot write " + options_.pngPath);
        }
        outputFailed_ = true;
    }
}

void CompanionClient::printStatistics() {
    double seconds =
        std::max(1e-3, std::chrono::duration<double>(Clock::now() - window_.start).count());
    std::string text =
        "frame=" + std::to_string(totalFrames_) + " key=" + std::to_string(keyFrames_) +
        " fps=" + fixed(static_cast<double>(window_.frames) / seconds, 1) +
        " size=" + std::to_string(width_) + "x" + std::to_string(height_) +
        " rate=" + fixed(static_cast<double>(window_.bytes) * 8 / 1000 / seconds, 0) +
        "kbit/s avg=" +
        fixed(window_.frames
                  ? static_cast<double>(window_.bytes) / 1024 / static_cast<double>(window_.frames)
                  : 0,
              1) +
        "KB max=" + fixed(static_cast<double>(window_.largest) / 1024, 1) + "KB";
    text +=
        " decode=" +
        (window_.decoded
             ? fixed(window_.decodeSeconds * 1000 / static_cast<double>(window_.decoded), 2) + "ms"
             : std::string("-"));
    text += " rtt=" + (rtt_ ? fixed(*rtt_ * 1000, 2) + "ms" : std::string("-"));
    text += " audio=" + std::to_string(audioPackets_);
    text += " cursor=" + (cursor_ ? fixed(cursor_->first, 3) + "," + fixed(cursor_->second, 3)
                                  : std::string("-"));
    text += std::string(" locked=") + (locked_ ? (*locked_ ? "yes" : "no") : "-");
    line(text);
}

void CompanionClient::printSummary() {
    line("summary: frames=" + std::to_string(totalFrames_) + " key=" + std::to_string(keyFrames_) +
         " undecodable=" + std::to_string(undecodable_) + " bytes=" + std::to_string(totalBytes_) +
         " size=" + std::to_string(width_) + "x" + std::to_string(height_) + " audioPackets=" +
         std::to_string(audioPackets_) + " audioCookies=" + std::to_string(audioCookies_) +
         " audioFrames=" + std::to_string(audioFrames_) +
         " cursor=" + std::to_string(cursorMessages_) + " hellos=" + std::to_string(hellos_) +
         " seconds=" + fixed(authenticatedOnce_ ? sinceStart() : 0, 2));
}

void CompanionClient::send(std::string text) {
    if (!open_ || closing_) {
        return;
    }
    outgoing_.push_back(std::move(text));
    writeNext();
}

void CompanionClient::writeNext() {
    if (writing_ || !open_) {
        return;
    }
    if (outgoing_.empty()) {
        if (closing_) {
            closeSocket();
        }
        return;
    }
    writing_ = true;
    ws_.text(true);
    ws_.async_write(boost::asio::buffer(outgoing_.front()),
                    [this](const boost::system::error_code& error, std::size_t) {
                        writing_ = false;
                        outgoing_.pop_front();
                        if (error) {
                            open_ = false;
                            outgoing_.clear();
                            if (closing_) {
                                closeSocket();
                            }
                            return;
                        }
                        writeNext();
                    });
}

// Ends the run with `status` (the first reason wins): pending messages go out, then a close.
void CompanionClient::finish(ExitStatus status) {
    if (finished_) {
        return;
    }
    finished_ = true;
    status_ = status;
    boost::system::error_code ignored;
    deadline_.cancel();
    ticker_.cancel();
    scriptTimer_.cancel();
    signals_.cancel(ignored);
    resolver_.cancel();
    closing_ = true;
    // A host that does not answer the close gets one second.
    deadline_.expires_after(std::chrono::seconds(1));
    deadline_.async_wait([this](const boost::system::error_code& error) {
        if (!error) {
            boost::system::error_code ignored;
            beast::get_lowest_layer(ws_).socket().close(ignored);
            io_.stop();
        }
    });
    if (!open_) {
        closeSocket();
    } else if (!writing_) {
        writeNext();
    }
}

void CompanionClient::closeSocket() {
    if (!open_) {
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        deadline_.cancel();
        return;
    }
    open_ = false;
    ws_.async_close(websocket::close_code::normal, [this](const boost::system::error_code&) {
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        deadline_.cancel();
    });
}

double CompanionClient::sinceStart() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void CompanionClient::line(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace quelm
