#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/ClipAssembler.hpp"
#include "QuelmCore/ClipChunk.hpp"
#include "QuelmCore/ClipImageFormat.hpp"
#include "QuelmCore/Messages.hpp"
#include "QuelmCore/StreamConfig.hpp"
#include "QuelmHostKit/input/InputHandling.hpp"
#include "QuelmHostKit/queues/AsioSerialQueue.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/server/PeerSendQueue.hpp"
#include "QuelmHostKit/streaming/ScreenStreaming.hpp"

namespace quelm {

class Listener;
class Peer;

// The host's front door: WebSocket listeners on the Tailscale address (and 127.0.0.1 while
// local connections are allowed), authentication of every connection by its first message,
// at most one active companion, and the routing of its messages and of the outgoing streams.
// Thread: all state lives on the "quelmix.server" strand of the given io_context, which some
// thread must run; public operations hop onto it and return at once (stop() and localPort()
// wait). Status reports arrive on the main queue.
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
    struct Point {
        double x = 0;
        double y = 0;
        friend bool operator==(const Point&, const Point&) = default;
    };

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

    // Clipboard (RemoteServerClipboard.cpp). Text goes to the active companion once it turned
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
    void send(const ServerMessage& message, const std::shared_ptr<Peer>& peer,
              Traffic traffic = Traffic::control);
    void sendFinal(const ServerMessage& message, const std::shared_ptr<Peer>& peer);
    void resetCompanionState();

    // Routing and outgoing streams (RemoteServerRouting.cpp)
    void receivedFromCompanion(const Bytes& message, const std::shared_ptr<Peer>& peer);
    void handle(const ClientMessage& message, const std::shared_ptr<Peer>& peer);
    void startStream(const std::shared_ptr<Peer>& peer, const StreamConfig& config);
    void applyAudio(const std::shared_ptr<Peer>& peer);
    void sendFrame(const VideoFrame& frame, const std::shared_ptr<Peer>& peer);
    void sendPacket(const AudioPacket& packet, const std::shared_ptr<Peer>& peer);
    void logTraffic();
    void startCursorUpdates();
    void stopCursorUpdates();
    void sendCursorIfMoved();
    bool isActive(const std::shared_ptr<Peer>& peer) const { return peer && peer == active_; }

    // Clipboard traffic (RemoteServerClipboard.cpp)
    void receivedChunk(const Bytes& message, const std::shared_ptr<Peer>& peer);
    void clipboardFromPhone(std::string text);
    void setClipboardSharing(bool enabled);
    void setImagesWanted(bool wanted);
    void startImageTimer();
    void stopImageTimer();
    void sendNextImagePiece();

    const Options options_;
    const Collaborators services_;
    AsioSerialQueue queue_;

    std::map<std::string, std::shared_ptr<Listener>> listeners_;
    std::optional<std::string> ownAddress_;
    bool allowLocal_ = false;
    std::shared_ptr<Peer> active_;
    // Keyed by acceptance order, so the oldest pending peer comes first.
    std::map<std::uint64_t, std::shared_ptr<Peer>> pending_;
    std::uint64_t nextPeerId_ = 0;
    std::int64_t evictions_ = 0;
    double lastEvictionLog_ = -1e9;
    // Host of the last eviction not yet reported, and whether a report of it is scheduled.
    std::string lastEvicted_;
    bool evictionReportDue_ = false;
    std::shared_ptr<RepeatingTimer> timer_;
    std::shared_ptr<RepeatingTimer> cursorTimer_;
    std::optional<Point> lastCursor_;
    bool locked_ = false;
    bool clipboardEnabled_ = false;
    mutable std::mutex imageLock_;
    bool imagesWanted_ = false;
    ClipAssembler incomingImage_;
    // Chunks of the host image still to be sent, first in front; the front is sent next.
    std::deque<ClipChunk> outgoingImage_;
    std::shared_ptr<RepeatingTimer> imageTimer_;
    // Number of the last outgoing image transfer; outlives peers.
    std::uint32_t nextTransfer_ = 0;
    std::optional<StreamConfig> streamConfig_;
    std::int64_t audioKbps_ = 0;
    std::int64_t sentVideoBytes_ = 0;
    std::int64_t largestFrame_ = 0;
    std::int64_t sentAudioPackets_ = 0;
    double diagnosticsStart_ = 0;
};

}  // namespace quelm
