#include "QuelmHostKit/server/CompanionSession.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <variant>

#include "QuelmCore/WireCoder.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr double kCursorInterval = 1.0 / 30.0;
constexpr double kTrafficWindow = 5.0;

template <class... Cases>
struct Overloaded : Cases... {
    using Cases::operator()...;
};

}  // namespace

std::shared_ptr<CompanionSession> CompanionSession::create(
    Services services, std::shared_ptr<CompanionConnection> connection, Carryover carried) {
    return std::shared_ptr<CompanionSession>(
        new CompanionSession(std::move(services), std::move(connection), carried));
}

CompanionSession::CompanionSession(Services services,
                                   std::shared_ptr<CompanionConnection> connection,
                                   Carryover carried)
    : services_(std::move(services)),
      connection_(std::move(connection)),
      traffic_(carried.traffic),
      lastTransfer_(carried.lastTransfer) {}

CompanionSession::~CompanionSession() {
    // Released handles stop their chains too; cancelling says so at once.
    if (cursorTimer_) {
        cursorTimer_->cancel();
    }
    if (imageTimer_) {
        imageTimer_->cancel();
    }
}

void CompanionSession::start(const ClientHello& hello, bool locked) {
    locked_ = locked;
    if (services_.selectDisplay) {
        services_.selectDisplay(hello.display.value_or(0));
    }
    // Built after the selection, so that it describes the requested display.
    send(ServerMessage::Hello{services_.hostInfo()});
    if (locked_) {
        send(ServerMessage::ScreenLocked{true});
    }
    // The first report goes at once, so a new companion learns the position straight away.
    auto self = shared_from_this();
    services_.queue->async(
        weakCallback(self, [](CompanionSession& session) { session.sendCursorIfMoved(); }));
    cursorTimer_ = services_.queue->every(
        kCursorInterval,
        weakCallback(self, [](CompanionSession& session) { session.sendCursorIfMoved(); }));
    services_.input->handle(ClientMessage::SetLayout{hello.layout});
    startStream(hello.config.clamped());
}

void CompanionSession::end() {
    if (ended_) {
        return;
    }
    ended_ = true;
    if (cursorTimer_) {
        cursorTimer_->cancel();
        cursorTimer_ = nullptr;
    }
    lastCursor_.reset();
    stopImageTimer();
    setImagesWanted(false, false);
    // A half-received image of a gone companion would only hold memory.
    incomingImage_ = ClipAssembler();
    connection_ = nullptr;
    services_.screen->stop();
    services_.input->releaseAll();
}

void CompanionSession::send(const ServerMessage& message, Traffic traffic) {
    if (ended_) {
        return;
    }
    if (auto text = WireCoder::encode(message)) {
        connection_->sendText(std::move(*text), traffic);
    }
}

void CompanionSession::received(const Bytes& message) {
    if (ended_) {
        return;
    }
    if (!message.empty() && message.front() == ClipChunk::tag) {
        receivedChunk(message);
        return;
    }
    auto decoded = WireCoder::decode<ClientMessage>(message);
    if (!decoded) {
        return;
    }
    if (auto valid = decoded->validated()) {
        handle(*valid);
    }
}

void CompanionSession::handle(const ClientMessage& message) {
    auto& screen = *services_.screen;
    std::visit(
        Overloaded{
            [](const ClientMessage::Hello&) {},
            [&](const ClientMessage::Ack&) { screen.acknowledge(); },
            [&](const ClientMessage::Config& config) {
                streamConfig_ = config.config;
                screen.update(config.config);
            },
            [&](const ClientMessage::Ping& ping) { send(ServerMessage::Pong{ping.ts}); },
            [&](const ClientMessage::Clipboard& clipboard) { clipboardFromPhone(clipboard.text); },
            [&](const ClientMessage::ClipboardSharing& sharing) {
                setClipboardSharing(sharing.enabled);
            },
            [&](const ClientMessage::ClipboardImages& images) {
                setImagesWanted(images.enabled, true);
            },
            [&](const ClientMessage::Display& display) {
                if (services_.selectDisplay) {
                    services_.selectDisplay(display.id);
                }
                send(ServerMessage::Hello{services_.hostInfo()});
                screen.stop();
                if (streamConfig_) {
                    startStream(*streamConfig_);
                }
            },
            [&](const ClientMessage::Audio& audio) {
                audioKbps_ = audio.kbps;
                applyAudio();
            },
            [&](const ClientMessage::Refresh&) { screen.requestKeyFrame(); },
            [&](const auto& input) { services_.input->handle(ClientMessage(input)); },
        },
        static_cast<const ClientMessage::Variant&>(message));
}

void CompanionSession::startStream(const StreamConfig& config) {
    streamConfig_ = config;
    auto self = shared_from_this();
    services_.screen->start(
        config,
        weakCallback(services_.queue, self,
                     [](CompanionSession& session, VideoFrame frame) { session.sendFrame(frame); }),
        weakCallback(services_.queue, self, [](CompanionSession& session, std::string error) {
            session.send(ServerMessage::Error{std::move(error)});
        }));
    applyAudio();
}

void CompanionSession::applyAudio() {
    if (audioKbps_ <= 0) {
        services_.screen->setAudio(0, nullptr);
        return;
    }
    services_.screen->setAudio(audioKbps_,
                               weakCallback(services_.queue, shared_from_this(),
                                            [](CompanionSession& session, AudioPacket packet) {
                                                session.sendPacket(packet);
                                            }));
}

void CompanionSession::sendFrame(const VideoFrame& frame) {
    // A frame produced for an ended companion goes to nobody.
    if (ended_) {
        return;
    }
    auto bytes = frame.encoded();
    if (!bytes) {
        return;
    }
    auto size = static_cast<std::int64_t>(bytes->size());
    traffic_.sentVideoBytes += size;
    traffic_.largestFrame = std::max(traffic_.largestFrame, size);
    logTraffic();
    connection_->sendBinary(std::move(*bytes), Traffic::video);
}

void CompanionSession::sendPacket(const AudioPacket& packet) {
    if (ended_) {
        return;
    }
    auto bytes = packet.encoded();
    if (!bytes) {
        return;
    }
    traffic_.sentAudioPackets += 1;
    logTraffic();
    connection_->sendBinary(std::move(*bytes), Traffic::audio);
}

void CompanionSession::logTraffic() {
    double now = services_.uptime ? services_.uptime() : monotonicSeconds();
    if (now - traffic_.diagnosticsStart < kTrafficWindow) {
        return;
    }
    // Bytes over a 5 s window divided by 625 give kbit/s.
    if (traffic_.diagnosticsStart > 0 && audioKbps_ >= 1) {
        Log::info("traffic: video " + std::to_string(traffic_.sentVideoBytes / 625) +
                  "kbps, largest frame " + std::to_string(traffic_.largestFrame / 1024) +
                  "KB, audio " + std::to_string(traffic_.sentAudioPackets) + " packets");
    }
    traffic_ = TrafficCounters{};
    traffic_.diagnosticsStart = now;
}

void CompanionSession::sendCursorIfMoved() {
    if (ended_ || !services_.cursorPosition) {
        return;
    }
    auto position = services_.cursorPosition();
    if (!position || position == lastCursor_) {
        return;
    }
    lastCursor_ = position;
    send(ServerMessage::Cursor{position->x, position->y}, Traffic::cursor);
}

void CompanionSession::setLocked(bool locked) {
    if (ended_ || locked == locked_) {
        return;
    }
    locked_ = locked;
    send(ServerMessage::ScreenLocked{locked});
    if (!locked && streamConfig_) {
        services_.screen->stop();
        startStream(*streamConfig_);
    }
}

}  // namespace quelm
