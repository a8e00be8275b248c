#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/ClipAssembler.hpp"
#include "QuelmCore/ClipChunk.hpp"
#include "QuelmCore/ClipImage.hpp"
#include "QuelmCore/ClipImageFormat.hpp"
#include "QuelmCore/Messages.hpp"
#include "QuelmCore/StreamConfig.hpp"
#include "QuelmHostKit/input/InputHandling.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/server/CompanionConnection.hpp"
#include "QuelmHostKit/streaming/ScreenStreaming.hpp"

namespace quelm {

// One authenticated companion, from its hello to its end: every piece of per-companion state
// (stream configuration, audio rate, pointer reports, lock reports, clipboard switches, image
// transfers both ways, traffic counters) and the rules that route its messages and feed it
// video, audio, pointer, lock and clipboard traffic. The server creates one per activation and
// ends it when the companion closes or is replaced; the next companion starts from a fresh
// session, so nothing is ever reset by hand.
// Thread: lives on the server queue; every operation is called there. Callbacks handed to the
// screen source may come on any thread and hop onto the queue.
// Lifetime: shared, owned by the server; timers and callbacks hold the session weakly, and
// once ended it sends nothing more. An ended session is kept until the next one starts, so
// that what outlives a companion (the transfer numbering, the traffic window, the last
// clipboard switch for the not-sent line) is carried over from it.
class CompanionSession final : public std::enable_shared_from_this<CompanionSession> {
  public:
    // A pointer position as fractions of the streamed display.
    struct Point {
        double x = 0;
        double y = 0;
        friend bool operator==(const Point&, const Point&) = default;
    };

    struct Services {
        // The server queue: timers run and foreign callbacks land here.
        std::shared_ptr<SerialQueue> queue;
        std::shared_ptr<ScreenStreaming> screen;
        std::shared_ptr<InputHandling> input;
        std::function<HostInfo()> hostInfo;
        std::function<std::optional<Point>()> cursorPosition;
        // Stores the display the companion asked for (0 for none).
        std::function<void(std::uint32_t)> selectDisplay;
        // Seconds of uptime for the traffic line; monotonicSeconds() when not given.
        std::function<double()> uptime;

        // What the session reports, on the queue.
        std::function<void(std::string)> onClipboardText;
        std::function<void(ClipImageData)> onImage;
        // Whether the companion takes clipboard images; false again when the session ends.
        std::function<void(bool)> onImagesWanted;
    };

    // The counters of the current diagnostic window; they run on across companions.
    struct TrafficCounters {
        std::int64_t sentVideoBytes = 0;
        std::int64_t largestFrame = 0;
        std::int64_t sentAudioPackets = 0;
        // Uptime at the start of the window, 0 before the first.
        double diagnosticsStart = 0;
    };

    // What one companion hands on to the next.
    struct Carryover {
        // Number of the last outgoing image transfer; the next one is one more.
        std::uint32_t lastTransfer = 0;
        TrafficCounters traffic;
    };

    static std::shared_ptr<CompanionSession> create(Services services,
                                                    std::shared_ptr<CompanionConnection> connection,
                                                    Carryover carried);
    ~CompanionSession();
    CompanionSession(const CompanionSession&) = delete;
    CompanionSession& operator=(const CompanionSession&) = delete;

    // Greets the companion: its display is selected, the host hello goes out (then the lock
    // state when locked), pointer reports start, its keyboard layout goes to the input side
    // and the stream starts with its configuration, clamped.
    void start(const ClientHello& hello, bool locked);
    // One message of the companion: a clipboard-image chunk or JSON.
    void received(const Bytes& message);
    // The host screen's lock state; reported on change, and an unlock restarts the stream.
    void setLocked(bool locked);
    // The host clipboard: text once the companion turned sharing on, an image (already
    // prepared in `format`) once it also asked for images.
    void sendClipboard(const std::string& text);
    void sendClipboardImage(const Bytes& data, ClipImageFormat format);
    // Stops the stream, releases held input, stops every timer and forgets the connection.
    // Repeated calls do nothing more.
    void end();

    bool ended() const { return ended_; }
    Carryover carryover() const { return {lastTransfer_, traffic_}; }

    // Seconds between two clipboard-image pieces: one full piece at 40 % of the video bit rate,
    // at least 1 Mbit/s; 6 Mbit/s assumed without a configuration.
    static double imagePieceInterval(const std::optional<StreamConfig>& config);
    // The line for a host image that does not go out, also used with no session at all.
    static void logImageNotSent(bool sharing, bool images, bool connected);

  private:
    CompanionSession(Services services, std::shared_ptr<CompanionConnection> connection,
                     Carryover carried);

    void send(const ServerMessage& message, Traffic traffic = Traffic::control);
    void handle(const ClientMessage& message);
    void startStream(const StreamConfig& config);
    void applyAudio();
    void sendFrame(const VideoFrame& frame);
    void sendPacket(const AudioPacket& packet);
    void logTraffic();
    void sendCursorIfMoved();

    // Clipboard (CompanionSessionClipboard.cpp)
    void receivedChunk(const Bytes& message);
    void clipboardFromPhone(std::string text);
    void setClipboardSharing(bool enabled);
    void setImagesWanted(bool wanted, bool log);
    void startImageTimer();
    void stopImageTimer();
    void sendNextImagePiece();

    const Services services_;
    std::shared_ptr<CompanionConnection> connection_;
    bool ended_ = false;

    std::optional<StreamConfig> streamConfig_;
    std::int64_t audioKbps_ = 0;
    bool locked_ = false;
    std::shared_ptr<RepeatingTimer> cursorTimer_;
    std::optional<Point> lastCursor_;
    TrafficCounters traffic_;

    bool clipboardEnabled_ = false;
    bool imagesWanted_ = false;
    ClipAssembler incomingImage_;
    // Chunks of the host image still to be sent; the front goes next.
    std::deque<ClipChunk> outgoingImage_;
    std::shared_ptr<RepeatingTimer> imageTimer_;
    std::uint32_t lastTransfer_ = 0;
};

}  // namespace quelm
