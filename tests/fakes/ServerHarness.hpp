#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QuelmCore/ClipImage.hpp"
#include "QuelmHostKit/queues/IoThread.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/RecordingInputHandling.hpp"
#include "tests/fakes/RecordingScreenStreaming.hpp"
#include "tests/fakes/WsTestClient.hpp"

namespace quelm::test {

// A real RemoteServer on loopback with short times, recording substitutes for screen and
// input, a real main queue, and what the server asked for or reported. Tests drive it with
// WsTestClient. Local connections are allowed once started; there is no Tailscale address
// unless a test sets one.
class ServerHarness {
  public:
    static constexpr const char* kToken = "s3cr3t-T0ken_0123456789abcdefghi";

    static RemoteServer::Options fastOptions();

    ServerHarness();
    ~ServerHarness();

    // `inputHandling` replaces the recording `input` when given (a real injector, say).
    void start(RemoteServer::Options options = fastOptions(),
               std::shared_ptr<InputHandling> inputHandling = nullptr);
    RemoteServer& server() { return *server_; }
    std::uint16_t port() const { return port_; }
    // The port on `address` once the server listens there (an address it picks up later).
    std::optional<std::uint16_t> waitForPort(const std::string& address, double seconds = 2.0);

    // A connected client (handshake done); nothing sent yet.
    std::unique_ptr<WsTestClient> connect(WsTestClient::Options options = {});
    // A client that sent a correct hello and received the host hello.
    std::unique_ptr<WsTestClient> authenticate(
        const std::string& config = R"({"maxEdge":1920,"bitrateMbps":6,"fps":30})");
    static std::string hello(
        const std::string& token,
        const std::string& config = R"({"maxEdge":1920,"bitrateMbps":6,"fps":30})",
        const std::string& extra = "");

    // Status reports in order, as texts: "waiting" or "connected 127.0.0.1".
    std::vector<std::string> statuses() const;
    bool waitForStatuses(std::size_t count, double seconds = 2.0) const;
    std::vector<std::uint32_t> selectedDisplays() const;
    // What reached onClipboardFromPhone and onImageFromPhone, in order.
    std::vector<std::string> clipboardTexts() const;
    std::vector<ClipImageData> images() const;
    bool waitForClipboardTexts(std::size_t count, double seconds = 2.0) const;
    bool waitForImages(std::size_t count, double seconds = 2.0) const;

    void setTailscaleAddress(std::optional<std::string> address);
    void setCursor(std::optional<RemoteServer::Point> point);
    void setToken(std::optional<std::string> token);
    // The uptime the server reads for its traffic line; starts at 1000.
    void setUptime(double seconds);
    // Runs on the server's queue and waits: everything posted before it has run.
    void drain();

    CapturingLogSink& log() { return logs_.sink(); }
    std::shared_ptr<RecordingScreenStreaming> screen = std::make_shared<RecordingScreenStreaming>();
    std::shared_ptr<RecordingInputHandling> input = std::make_shared<RecordingInputHandling>();
    HostInfo hostInfo{1920,
                      1080,
                      true,
                      KeyboardLayoutKind::us,
                      std::vector<DisplayInfo>{{1, 1920, 1080, true, false}},
                      1};

  private:
    CapturingLogSink::Scope logs_;
    IoThread io_{"test.server"};
    std::shared_ptr<ThreadQueue> mainQueue_ = std::make_shared<ThreadQueue>("test.main");
    std::shared_ptr<RemoteServer> server_;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> statuses_;
    std::vector<std::uint32_t> selected_;
    std::vector<std::string> clipboardTexts_;
    std::vector<ClipImageData> images_;
    std::optional<std::string> tailscale_;
    std::optional<RemoteServer::Point> cursor_;
    std::optional<std::string> token_ = std::string(kToken);
    double uptime_ = 1000;
};

}  // namespace quelm::test
