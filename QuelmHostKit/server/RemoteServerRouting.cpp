#include <string>
#include <type_traits>

#include "QuelmCore/WireCoder.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"
#include "QuelmHostKit/server/Peer.hpp"

namespace quelm {

namespace {

constexpr double kCursorInterval = 1.0 / 30.0;
constexpr double kTrafficWindow = 5.0;

template <class... Cases>
struct Overloaded : Cases... {
    using Cases::operator()...;
};

}  // namespace

void RemoteServer::receivedFromCompanion(const Bytes& message, const std::shared_ptr<Peer>& peer) {
    if (!message.empty() && message.front() == ClipChunk::tag) {
        receivedChunk(message, peer);
        return;
    }
    auto decoded = WireCoder::decode<ClientMessage>(message);
    if (!decoded || !isActive(peer)) {
        return;
    }
    if (auto valid = decoded->validated()) {
        handle(*valid, peer);
    }
}

void RemoteServer::handle(const ClientMessage& message, const std::shared_ptr<Peer>& peer) {
    auto& screen = *services_.screen;
    std::visit(
        Overloaded{
            [](const ClientMessage::Hello&) {},
            [&](const ClientMessage::Ack&) { screen.acknowledge(); },
            [&](const ClientMessage::Config& config) {
                streamConfig_ = config.config;
                screen.update(config.config);
            },
            [&](const ClientMessage::Ping& ping) { send(ServerMessage::Pong{ping.ts}, peer); },
            [&](const ClientMessage::Clipboard& clipboard) { clipboardFromPhone(clipboard.text); },
            [&](const ClientMessage::ClipboardSharing& sharing) {
                setClipboardSharing(sharing.enabled);
            },
            [&](const ClientMessage::ClipboardImages& images) { setImagesWanted(images.enabled); },
            [&](const ClientMessage::Display& display) {
                if (services_.selectDisplay) {
                    services_.selectDisplay(display.id);
                }
                send(ServerMessage::Hello{services_.hostInfo()}, peer);
                screen.stop();
                if (streamConfig_) {
                    startStream(peer, *streamConfig_);
                }
            },
            [&](const ClientMessage::Audio& audio) {
                audioKbps_ = audio.kbps;
                applyAudio(peer);
            },
            [&](const ClientMessage::Refresh&) { screen.requestKeyFrame(); },
            [&](const auto& input) { services_.input->handle(ClientMessage(input)); },
        },
        static_cast<const ClientMessage::Variant&>(message));
}

void RemoteServer::startStream(const std::shared_ptr<Peer>& peer, const StreamConfig& config) {
    streamConfig_ = config;
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    std::weak_ptr<Peer> weakPeer = peer;
    services_.screen->start(
        config,
        [weak, weakPeer](VideoFrame frame) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->queue_.async([weak, weakPeer, frame = std::move(frame)] {
                auto self = weak.lock();
                auto peer = weakPeer.lock();
                if (self && self->isActive(peer)) {
                    self->sendFrame(frame, peer);
                }
            });
        },
        [weak, weakPeer](std::string error) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->queue_.async([weak, weakPeer, error = std::move(error)] {
                auto self = weak.lock();
                auto peer = weakPeer.lock();
                if (self && self->isActive(peer)) {
                    self->send(ServerMessage::Error{error}, peer);
                }
            });
        });
    applyAudio(peer);
}

void RemoteServer::applyAudio(const std::shared_ptr<Peer>& peer) {
    if (audioKbps_ <= 0) {
        services_.screen->setAudio(0, nullptr);
        return;
    }
    std::weak_ptr<RemoteServer> weak = weak_from_this();
    std::weak_ptr<Peer> weakPeer = peer;
    services_.screen->setAudio(audioKbps_, [weak, weakPeer](AudioPacket packet) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->queue_.async([weak, weakPeer, packet = std::move(packet)] {
            auto self = weak.lock();
            auto peer = weakPeer.lock();
            if (self && self->isActive(peer)) {
                self->sendPacket(packet, peer);
            }
        });
    });
}

void RemoteServer::sendFrame(const VideoFrame& frame, const std::shared_ptr<Peer>& peer) {
    auto bytes = frame.encoded();
    if (!bytes) {
        return;
    }
    auto size = static_cast<std::int64_t>(bytes->size());
    sentVideoBytes_ += size;
    largestFrame_ = std::max(largestFrame_, size);
    logTraffic();
    peer->sendBinary(std::move(*bytes), Traffic::video);
}

void RemoteServer::sendPacket(const AudioPacket& packet, const std::shared_ptr<Peer>& peer) {
    auto bytes = packet.encoded();
    if (!bytes) {
        return;
    }
    sentAudioPackets_ += 1;
    logTraffic();
    peer->sendBinary(std::move(*bytes), Traffic::audio);
}

void RemoteServer::logTraffic() {
    double now = services_.uptime ? services_.uptime() : monotonicSeconds();
    if (now - diagnosticsStart_ < kTrafficWindow) {
        return;
    }
    if (diagnosticsStart_ > 0 && audioKbps_ >= 1) {
        Log::info("traffic: video " + std::to_string(sentVideoBytes_ / 625) +
                  "kbps, largest frame " + std::to_string(largestFrame_ / 1024) + "KB, audio " +
                  std::to_string(sentAudioPackets_) + " packets");
    }
    diagnosticsStart_ = now;
    largestFrame_ = 0;
    sentAudioPackets_ = 0;
    sentVideoBytes_ = 0;
}

void RemoteServer::startCursorUpdates() {
    stopCursorUpdates();
    // The first tick comes at once, so a new companion learns the position straight away.
    queue_.async(
        weakCallback(shared_from_this(), [](RemoteServer& self) { self.sendCursorIfMoved(); }));
    cursorTimer_ = queue_.every(
        kCursorInterval,
        weakCallback(shared_from_this(), [](RemoteServer& self) { self.sendCursorIfMoved(); }));
}

void RemoteServer::stopCursorUpdates() {
    if (cursorTimer_) {
        cursorTimer_->cancel();
        cursorTimer_ = nullptr;
    }
    lastCursor_.reset();
}

void RemoteServer::sendCursorIfMoved() {
    if (!active_ || !cursorTimer_ || !services_.cursorPosition) {
        return;
    }
    auto position = services_.cursorPosition();
    if (!position || position == lastCursor_) {
        return;
    }
    lastCursor_ = position;
    send(ServerMessage::Cursor{position->x, position->y}, active_, Traffic::cursor);
}

void RemoteServer::setLocked(bool locked) {
    queue_.async(weakCallback(shared_from_this(), [locked](RemoteServer& self) {
        if (locked == self.locked_) {
            return;
        }
        self.locked_ = locked;
        if (!self.active_) {
            return;
        }
        self.send(ServerMessage::ScreenLocked{locked}, self.active_);
        if (!locked && self.streamConfig_) {
            self.services_.screen->stop();
            self.startStream(self.active_, *self.streamConfig_);
        }
    }));
}

}  // namespace quelm
