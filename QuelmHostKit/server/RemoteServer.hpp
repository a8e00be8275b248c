#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/ClipImageFormat.hpp"
#include "QuelmCore/Messages.hpp"
#include "QuelmCore/StreamConfig.hpp"
#include "QuelmHostKit/input/InputHandling.hpp"
#include "QuelmHostKit/queues/AsioSerialQueue.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/server/CompanionSession.hpp"
#include "QuelmHostKit/server/PeerSendQueue.hpp"
#include "QuelmHostKit/streaming/ScreenStreaming.hpp"

namespace quelm {

class Listener;
class Peer;

// The host's front door: WebSocket listeners on the Tailscale address (and 127.0.0.1 while
// local connections are allowed), authentication of every connection by its first message,
// and at most one active companion, which a newer one replaces. What the active companion
// sends and receives is its CompanionSession's business; the server hands it the messages of
// the active peer and the host's lock state and clipboard.
// Thread: all state lives on the "quelmix.server" strand of the given io_context, which some
// thread must run; public operations hop onto it and return at once. stop(), localPort() and
// activeQueuedBytes() wait for it: call them from the main queue or a test's thread, never
// from the queue itself, and only while the io_context runs. Status reports and the
// companion's clipboard arrive on the main queue; acceptsImages() may be asked anywhere.
// Lifetime: shared; every callback handed out holds the server weakly. Call stop() before
// releasing it, and keep the io_context alive until then.
class RemoteServer final : public std::enable_shared_from_this<RemoteServer> {
  public:
    struct Options {
        std::uint16_t port = Wire::defaultPort;
        double helloTimeout = 10;
        double authFailureDelay = 1;
        double addressRefresh = 10;
        // Connections not yet authenticated; beyond it the oldest is closed for the newest.
        std::size_t maxPendingPeers = 64;
        PeerLimits peerLimits;
    };

    struct Connected {
        std::string peer;
        friend bool operator==(const Connected&, const Connected&) = default;
    };
    struct Waiting {
        friend bool operator==(const Waiting&, const Waiting&) = default;
    };
    using Status = std::variant<Waiting, Connected>;

    // A pointer position as fractions of the streamed display.
    using Point = CompanionSession::Point;

    // What the application hands the server.
    struct Collaborators {
        // Where status reports and clipboard callbacks run.
        std::shared_ptr<SerialQueue> mainQueue;
        // The current secret; nothing refuses every companion.
        std::function<std::optional<std::string>()> token;
        std::shared_ptr<ScreenStreaming> screen;
        std::shared_ptr<InputHandling> input;
        std::function<HostInfo()> hostInfo;
        std::function<std::optional<std::string>()> tailscaleAddress;
        std::function<std::optional<Point>()> cursorPosition;
        // Stores the display the companion asked for (0 for none).
        std::function<void(std::uint32_t)> selectDisplay;
        // Seconds of uptime for the traffic line; monotonicSeconds() when not given.
        std::function<double()> uptime;
    };

    static std::shared_ptr<RemoteServer> create(boost::asio::io_context& io, Options options,
                                                Collaborators collaborators);
    ~RemoteServer();
    RemoteServer(const RemoteServer&) = delete;
    RemoteServer& operator=(const RemoteServer&) = delete;

    // Assigned by the owner before start(); called on the main queue.
    std::function<void(Status)> onStatus;
    // A listener started on this address and port (also after a failed one was re-created).
    std::function<void(std::string address, std::uint16_t port)> onListening;
    std::function<void(std::string)> onClipboardFromPhone;
    std::function<void(Bytes, ClipImageFormat)> onImageFromPhone;

    // Listens on the Tailscale address as soon as there is one, checking it periodically.
    void start();
    // Waits for the queue: no timer, no listeners, no peers. Never call it from the queue.
    void stop();
    void setLocalAllowed(bool allowed, std::function<void()> completion = nullptr);
    void disconnectAll();
    void setLocked(bool locked);

    // Clipboard (RemoteServerRouting.cpp). Text goes to the active companion once it turned
    // sharing on; an image, already prepared in `format`, once it also asked for images. Both
    // return at once.
    void sendClipboard(std::string text);
    void sendClipboardImage(Bytes data, ClipImageFormat format);
    // Whether the active companion takes clipboard images; safe from any thread.
    bool acceptsImages() const;
    // Seconds between two clipboard-image pieces: one full piece at 40 % of the video bit rate,
    // at least 1 Mbit/s; 6 Mbit/s assumed without a configuration.
    static double imagePieceInterval(const std::optional<StreamConfig>& config);

    // The port a listener on this address is bound to (Options::port 0 binds any); waits for
    // the queue.
    std::optional<std::uint16_t> localPort(const std::string& address);
    // Bytes waiting in the active companion's send queue; nothing without one. Waits for the
    // queue.
    std::optional<std::size_t> activeQueuedBytes();
    const Options& options() const { return options_; }

    // The host text of a remote address: an interface scope cut off ("fe80::1%eth0" gives
    // "fe80::1"), an IPv4 address mapped into IPv6 unwrapped ("::ffff:100.64.0.9").
    static std::string hostText(const boost::asio::ip::address& address);

  private:
    RemoteServer(boost::asio::io_context& io, Options options, Collaborators collaborators);

    // Lifecycle (RemoteServer.cpp)
    void refreshAddress();
    void listen(const std::string& address);
    void accept(boost::asio::ip::tcp::socket socket);
    void admit(const std::shared_ptr<Peer>& peer);
    void logEviction(const std::string& host);
    void reportEvictions();
    void received(const Bytes& message, const std::shared_ptr<Peer>& peer);
    void receivedBeforeAuth(const Bytes& message, const std::shared_ptr<Peer>& peer);
    void reject(const std::shared_ptr<Peer>& peer);
    void activate(const std::shared_ptr<Peer>& peer, const ClientHello& hello);
    void peerClosed(const std::shared_ptr<Peer>& peer);
    void report(Status status);
    void reportListening(const std::string& address, std::uint16_t port);
    void disconnectEveryone();
    void sendFinal(const ServerMessage& message, const std::shared_ptr<Peer>& peer);
    bool isActive(const std::shared_ptr<Peer>& peer) const { return peer && peer == active_; }

    // The active companion (RemoteServerRouting.cpp)
    CompanionSession::Services sessionServices();
    void setImagesWanted(bool wanted);

    const Options options_;
    const Collaborators services_;
    // Shared with the sessions, whose callbacks hold it weakly.
    const std::shared_ptr<AsioSerialQueue> queue_;

    std::map<std::string, std::shared_ptr<Listener>> listeners_;
    std::optional<std::string> ownAddress_;
    bool allowLocal_ = false;
    std::shared_ptr<Peer> active_;
    // The active peer's session; after it closed, its ended session until the next hello.
    std::shared_ptr<CompanionSession> session_;
    // Keyed by acceptance order, so the oldest pending peer comes first.
    std::map<std::uint64_t, std::shared_ptr<Peer>> pending_;
    std::uint64_t nextPeerId_ = 0;
    std::int64_t evictions_ = 0;
    double lastEvictionLog_ = -1e9;
    // Host of the last eviction not yet reported, and whether a report of it is scheduled.
    std::string lastEvicted_;
    bool evictionReportDue_ = false;
    std::shared_ptr<RepeatingTimer> timer_;
    // The host screen's lock state, handed to every new session.
    bool locked_ = false;
    // What the session last reported, for readers on other threads.
    mutable std::mutex imageLock_;
    bool imagesWanted_ = false;
};

}  // namespace quelm
