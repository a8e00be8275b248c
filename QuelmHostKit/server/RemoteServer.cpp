#include "QuelmHostKit/server/RemoteServer.hpp"

#include <boost/asio/post.hpp>
#include <vector>

#include "QuelmCore/PeerPolicy.hpp"
#include "QuelmCore/WireCoder.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/server/Listener.hpp"
#include "QuelmHostKit/server/Peer.hpp"

namespace quelm {

namespace {

constexpr const char* kLoopback = "127.0.0.1";

}  // namespace

std::string RemoteServer::hostText(const boost::asio::ip::address& address) {
    std::string text = address.to_string();
    if (auto percent = text.find('%'); percent != std::string::npos) {
        text.erase(percent);
    }
    constexpr std::string_view mapped = "::ffff:";
    if (text.starts_with(mapped)) {
        text.erase(0, mapped.size());
    }
    return text;
}

std::shared_ptr<RemoteServer> RemoteServer::create(boost::asio::io_context& io, Options options,
                                                   Collaborators collaborators) {
    return std::shared_ptr<RemoteServer>(
        new RemoteServer(io, std::move(options), std::move(collaborators)));
}

RemoteServer::RemoteServer(boost::asio::io_context& io, Options options,
                           Collaborators collaborators)
    : options_(std::move(options)),
      services_(std::move(collaborators)),
      queue_(std::make_shared<AsioSerialQueue>(io, "quelmix.server")) {}

RemoteServer::~RemoteServer() {
    // Nothing can be running on the queue for us any more (every handler holds us weakly), so
    // the sockets (and the session holding the active one) are handed to the strand to be
    // closed and released there.
    boost::asio::post(queue_->strand(),
                      [listeners = std::move(listeners_), active = std::move(active_),
                       pending = std::move(pending_), session = std::move(session_)] {
                          for (const auto& [address, listener] : listeners) {
                              listener->cancel();
                          }
                          if (active) {
                              active->close();
                          }
                          for (const auto& [id, peer] : pending) {
                              peer->close();
                          }
                      });
}

void RemoteServer::start() {
    auto refresh =
        weakCallback(shared_from_this(), [](RemoteServer& self) { self.refreshAddress(); });
    queue_->async(refresh);
    // Installed on the queue; if the server is gone by then, the released handle stops it.
    auto timer = queue_->every(options_.addressRefresh, refresh);
    queue_->async(weakCallback(shared_from_this(), [timer](RemoteServer& self) {
        if (self.timer_) {
            self.timer_->cancel();
        }
        self.timer_ = timer;
    }));
}

void RemoteServer::stop() {
    queue_->sync([this] {
        if (timer_) {
            timer_->cancel();
            timer_ = nullptr;
        }
        for (const auto& [address, listener] : listeners_) {
            listener->cancel();
        }
        listeners_.clear();
        // The active companion's closing ends its session: pointer reports stop with it.
        disconnectEveryone();
    });
}

void RemoteServer::setLocalAllowed(bool allowed, std::function<void()> completion) {
    queue_->async(weakCallback(shared_from_this(), [allowed, completion = std::move(completion)](
                                                       RemoteServer& self) {
        self.allowLocal_ = allowed;
        if (allowed) {
            self.listen(kLoopback);
        } else if (auto found = self.listeners_.find(kLoopback); found != self.listeners_.end()) {
            found->second->cancel();
            self.listeners_.erase(found);
        }
        if (completion) {
            completion();
        }
    }));
}

void RemoteServer::disconnectAll() {
    queue_->async(
        weakCallback(shared_from_this(), [](RemoteServer& self) { self.disconnectEveryone(); }));
}

std::optional<std::uint16_t> RemoteServer::localPort(const std::string& address) {
    std::optional<std::uint16_t> port;
    queue_->sync([&] {
        if (auto found = listeners_.find(address); found != listeners_.end()) {
            port = found->second->port();
        }
    });
    return port;
}

std::optional<std::size_t> RemoteServer::activeQueuedBytes() {
    std::optional<std::size_t> bytes;
    queue_->sync([&] {
        if (active_) {
            bytes = active_->queuedBytes();
        }
    });
    return bytes;
}

void RemoteServer::refreshAddress() {
    std::optional<std::string> address =
        services_.tailscaleAddress ? services_.tailscaleAddress() : std::nullopt;
    if (!address && !ownAddress_) {
        return;
    }
    if (address && ownAddress_ && *address == *ownAddress_) {
        // Re-creates a listener that failed since the last check.
        listen(*address);
        return;
    }
    if (ownAddress_) {
        if (auto found = listeners_.find(*ownAddress_); found != listeners_.end()) {
            found->second->cancel();
            listeners_.erase(found);
        }
    }
    ownAddress_ = address;
    if (address) {
        Log::info("Tailscale address: " + *address);
        listen(*address);
    } else {
        Log::info("Tailscale address not found");
    }
}

void RemoteServer::listen(const std::string& address) {
    if (listeners_.contains(address)) {
        return;
    }
    std::string error;
    auto listener = Listener::open(queue_->strand(), address, options_.port, error);
    if (!listener) {
        Log::info("could not listen on " + address + ": " + error);
        return;
    }
    std::weak_ptr<Listener> weakListener = listener;
    listener->start(
        weakCallback(shared_from_this(),
                     [](RemoteServer& self, boost::asio::ip::tcp::socket socket) {
                         self.accept(std::move(socket));
                     }),
        weakCallback(shared_from_this(),
                     [weakListener, address](RemoteServer& self, const std::string& description) {
                         Log::info("listener on " + address + " failed: " + description);
                         auto failed = weakListener.lock();
                         if (failed) {
                             failed->cancel();
                         }
                         if (auto found = self.listeners_.find(address);
                             found != self.listeners_.end() && found->second == failed) {
                             self.listeners_.erase(found);
                         }
                     }));
    reportListening(address, listener->port());
    listeners_[address] = std::move(listener);
}

void RemoteServer::accept(boost::asio::ip::tcp::socket socket) {
    boost::system::error_code error;
    auto remote = socket.remote_endpoint(error);
    if (error) {
        socket.close(error);
        return;
    }
    std::string host = hostText(remote.address());
    if (!PeerPolicy::isAllowed(host, ownAddress_, allowLocal_)) {
        Log::info("rejected peer " + host);
        socket.close(error);
        return;
    }
    // Capture gets ready while the upgrade and the hello are on their way: a round trip
    // on a phone's link, about what a cold first picture costs.
    if (services_.screen) {
        services_.screen->prepare();
    }
    admit(std::make_shared<Peer>(std::move(socket), std::move(host), nextPeerId_++,
                                 options_.peerLimits));
}

void RemoteServer::admit(const std::shared_ptr<Peer>& peer) {
    // A flood of connections must not lock the companion out: a pending one makes room, so a
    // companion that sends its hello promptly always gets in.
    while (options_.maxPendingPeers > 0 && pending_.size() >= options_.maxPendingPeers) {
        auto victim = evictionCandidate();
        auto evicted = victim->second;
        pending_.erase(victim);
        logEviction(evicted->host());
        evicted->abort();
    }
    std::uint64_t id = peer->id();
    pending_[id] = peer;
    std::weak_ptr<Peer> weakPeer = peer;
    peer->onClose = weakCallback(shared_from_this(), [weakPeer, id](RemoteServer& self) {
        self.pending_.erase(id);
        if (auto closed = weakPeer.lock()) {
            self.peerClosed(closed);
        }
    });
    peer->start(weakCallback(shared_from_this(), [weakPeer](RemoteServer& self, Bytes message) {
        if (auto from = weakPeer.lock()) {
            self.received(message, from);
        }
    }));
    peer->expireAfter(options_.helloTimeout, weakCallback(peer, [](Peer& peer) {
                          if (!peer.authed && !peer.closed()) {
                              Log::info("no hello from " + peer.host());
                              peer.abort();
                          }
                      }));
}

std::map<std::uint64_t, std::shared_ptr<Peer>>::iterator RemoteServer::evictionCandidate() {
    // A refused peer first (it only waits for its authFailed), then the oldest that has sent
    // nothing yet, then the oldest of all. A flood of bare connections thus never reaches a
    // companion that has sent its upgrade request and is about to send its hello.
    auto silent = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->second->rejected) {
            return it;
        }
        if (silent == pending_.end() && !it->second->heardFrom()) {
            silent = it;
        }
    }
    return silent != pending_.end() ? silent : pending_.begin();
}

void RemoteServer::logEviction(const std::string& host) {
    // At most one line a second: a flood must not flood the journal as well. What is held back
    // is reported once the second is over, so a flood that stops is still counted in full.
    ++evictions_;
    lastEvicted_ = host;
    double now = queue_->now();
    if (now - lastEvictionLog_ >= 1.0) {
        reportEvictions();
        return;
    }
    if (!evictionReportDue_) {
        evictionReportDue_ = true;
        queue_->after(lastEvictionLog_ + 1.0 - now,
                      weakCallback(shared_from_this(), [](RemoteServer& self) {
                          self.evictionReportDue_ = false;
                          self.reportEvictions();
                      }));
    }
}

void RemoteServer::reportEvictions() {
    if (evictions_ == 0) {
        return;
    }
    Log::info("too many pending connections, closing " + lastEvicted_ + " (" +
              std::to_string(evictions_) + " since the last report)");
    lastEvictionLog_ = queue_->now();
    evictions_ = 0;
}

void RemoteServer::received(const Bytes& message, const std::shared_ptr<Peer>& peer) {
    if (peer->authed) {
        // Anything from a peer that is no longer the active one is dropped.
        if (isActive(peer)) {
            session_->received(message);
        }
    } else {
        receivedBeforeAuth(message, peer);
    }
}

void RemoteServer::receivedBeforeAuth(const Bytes& message, const std::shared_ptr<Peer>& peer) {
    // A refused peer gets no second try: otherwise the failure delay would not slow guessing
    // at all, and a late correct hello would be answered with authFailed after activation.
    if (peer->rejected) {
        return;
    }
    // Clipboard-image chunks mean nothing before the hello.
    if (!message.empty() && message.front() == 4) {
        return;
    }
    auto decoded = WireCoder::decode<ClientMessage>(message);
    const auto* hello = decoded ? std::get_if<ClientMessage::Hello>(&*decoded) : nullptr;
    auto token = services_.token ? services_.token() : std::nullopt;
    if (hello && token && PeerPolicy::constantTimeEqual(hello->hello.token, *token)) {
        activate(peer, hello->hello);
    } else {
        reject(peer);
    }
}

void RemoteServer::reject(const std::shared_ptr<Peer>& peer) {
    if (peer->rejected) {
        return;
    }
    peer->rejected = true;
    Log::info("auth failed from " + peer->host());
    queue_->after(options_.authFailureDelay,
                  weakCallback(shared_from_this(),
                               [weakPeer = std::weak_ptr<Peer>(peer)](RemoteServer& self) {
                                   if (auto peer = weakPeer.lock()) {
                                       self.sendFinal(ServerMessage::AuthFailed{}, peer);
                                   }
                               }));
}

void RemoteServer::activate(const std::shared_ptr<Peer>& peer, const ClientHello& hello) {
    peer->authed = true;
    pending_.erase(peer->id());
    if (auto previous = std::exchange(active_, nullptr)) {
        // Its closing is a replacement, not a disconnection.
        previous->onClose = nullptr;
        sendFinal(ServerMessage::Replaced{}, previous);
        session_->end();
    }
    // What outlives a companion goes on from the last session; the rest starts afresh.
    auto carried = session_ ? session_->carryover() : CompanionSession::Carryover{};
    active_ = peer;
    session_ = CompanionSession::create(sessionServices(), peer, carried);
    Log::info("connected: " + peer->host());
    report(Connected{peer->host()});
    session_->start(hello, locked_);
}

void RemoteServer::peerClosed(const std::shared_ptr<Peer>& peer) {
    if (!isActive(peer)) {
        return;
    }
    active_ = nullptr;
    session_->end();
    Log::info("disconnected: " + peer->host());
    report(Waiting{});
}

void RemoteServer::report(Status status) {
    if (!services_.mainQueue) {
        return;
    }
    services_.mainQueue->async(
        weakCallback(shared_from_this(), [status = std::move(status)](RemoteServer& self) {
            if (self.onStatus) {
                self.onStatus(status);
            }
        }));
}

void RemoteServer::reportListening(const std::string& address, std::uint16_t port) {
    if (!services_.mainQueue) {
        return;
    }
    services_.mainQueue->async(
        weakCallback(shared_from_this(), [address, port](RemoteServer& self) {
            if (self.onListening) {
                self.onListening(address, port);
            }
        }));
}

void RemoteServer::disconnectEveryone() {
    if (active_) {
        // Its onClose runs peerClosed at once: the status becomes waiting.
        active_->close();
    }
    auto pending = std::move(pending_);
    pending_.clear();
    for (const auto& [id, peer] : pending) {
        peer->close();
    }
}

void RemoteServer::sendFinal(const ServerMessage& message, const std::shared_ptr<Peer>& peer) {
    if (auto text = WireCoder::encode(message)) {
        peer->sendTextThenClose(std::move(*text));
    } else {
        peer->close();
    }
}

}  // namespace quelm
