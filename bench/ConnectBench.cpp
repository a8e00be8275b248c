// Figures of the front door, printed as plain text:
//  1. how long a companion waits from TCP connect to the host hello on loopback (200 runs);
//  2. the host's memory (RSS) with 1000 idle connections that upgraded but never said hello,
//     with the pending bound raised above 1000 and with the default bound of 64.
// The clients of (2) run in a child process, so the parent's RSS is the server's alone.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/IoThread.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"

namespace {

using namespace quelm;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::asio::ip::tcp;

constexpr const char* kToken = "bench-token-0123456789abcdefghijk";

class NullScreen final : public ScreenStreaming {
  public:
    void start(const StreamConfig&, FrameHandler, ErrorHandler) override {}
    void stop() override {}
    void acknowledge() override {}
    void requestKeyFrame() override {}
    void update(const StreamConfig&) override {}
    void setAudio(std::int64_t, PacketHandler) override {}
};

class NullInput final : public InputHandling {
  public:
    void handle(const ClientMessage&) override {}
    void releaseAll() override {}
};

// Status reports go nowhere; the bench has no main loop.
class DiscardQueue final : public SerialQueue {
  public:
    void async(Task) override {}
    void after(double, Task) override {}
    void sync(Task task) override { task(); }
    bool isCurrent() const override { return false; }
    double now() const override { return monotonicSeconds(); }
};

class QuietSink final : public LogSink {
  public:
    void write(std::string_view, std::string_view, std::string_view) override {}
};

std::shared_ptr<RemoteServer> makeServer(IoThread& io, std::size_t maxPending) {
    RemoteServer::Options options;
    options.port = 0;
    options.helloTimeout = 600;
    options.maxPendingPeers = maxPending;
    RemoteServer::Collaborators services;
    services.mainQueue = std::make_shared<DiscardQueue>();
    services.token = [] { return std::optional<std::string>(kToken); };
    services.screen = std::make_shared<NullScreen>();
    services.input = std::make_shared<NullInput>();
    services.hostInfo = [] {
        return HostInfo{1920,
                        1080,
                        true,
                        KeyboardLayoutKind::us,
                        std::vector<DisplayInfo>{{1, 1920, 1080, true, false}},
                        1};
    };
    services.tailscaleAddress = [] { return std::optional<std::string>(); };
    services.cursorPosition = [] { return std::optional<RemoteServer::Point>(); };
    auto server = RemoteServer::create(io.context(), options, std::move(services));
    server->start();
    std::promise<void> listening;
    server->setLocalAllowed(true, [&] { listening.set_value(); });
    listening.get_future().wait();
    return server;
}

long rssKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

void measureHelloLatency() {
    IoThread io("bench.server");
    auto server = makeServer(io, 64);
    auto port = *server->localPort("127.0.0.1");
    const std::string hello = std::string(R"({"hello":{"_0":{"token":")") + kToken +
                              R"(","config":{"maxEdge":1920,"bitrateMbps":6,"fps":30}}}})";

    boost::asio::io_context client;
    std::vector<double> waits;
    constexpr int kRuns = 200;
    for (int i = 0; i < kRuns; ++i) {
        websocket::stream<tcp::socket> ws(client);
        auto begin = std::chrono::steady_clock::now();
        ws.next_layer().connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
        ws.handshake("127.0.0.1", "/ws");
        ws.text(true);
        ws.write(boost::asio::buffer(hello));
        beast::flat_buffer buffer;
        ws.read(buffer);
        auto end = std::chrono::steady_clock::now();
        waits.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
        beast::error_code ignored;
        ws.next_layer().close(ignored);
    }
    std::sort(waits.begin(), waits.end());
    std::printf(
        "connect to host hello, loopback, %d runs: median %.0f us, p90 %.0f us, max %.0f us\n",
        kRuns, waits[kRuns / 2], waits[kRuns * 9 / 10], waits.back());
    server->stop();
}

// Child: opens `count` upgraded idle connections, reports, and holds them until told to end.
[[noreturn]] void holdIdleConnections(std::uint16_t port, int count, int ready, int finish) {
    boost::asio::io_context io;
    std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> held;
    int opened = 0;
    for (int i = 0; i < count; ++i) {
        auto ws = std::make_unique<websocket::stream<tcp::socket>>(io);
        beast::error_code error;
        ws->next_layer().connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port),
                                 error);
        if (!error) {
            ws->handshake("127.0.0.1", "/ws", error);
        }
        if (!error) {
            ++opened;
        }
        held.push_back(std::move(ws));
    }
    (void)!write(ready, &opened, sizeof opened);
    char byte;
    (void)!read(finish, &byte, 1);
    _exit(0);
}

void measureIdleMemory(std::size_t maxPending, int connections) {
    IoThread io("bench.server");
    auto server = makeServer(io, maxPending);
    auto port = *server->localPort("127.0.0.1");
    long before = rssKilobytes();

    int ready[2];
    int finish[2];
    if (pipe(ready) != 0 || pipe(finish) != 0) {
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        holdIdleConnections(port, connections, ready[1], finish[0]);
    }
    int opened = 0;
    (void)!read(ready[0], &opened, sizeof opened);
    // Let the server settle: every accepted connection has been read up to its upgrade.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long after = rssKilobytes();
    std::printf(
        "%d idle upgraded connections (%d handshakes done), pending bound %zu: server RSS "
        "%ld kB -> %ld kB, +%ld kB (%.1f kB per connection attempted)\n",
        connections, opened, maxPending, before, after, after - before,
        static_cast<double>(after - before) / connections);
    (void)!write(finish[1], "x", 1);
    waitpid(child, nullptr, 0);
    server->stop();
}

}  // namespace

int main() {
    Log::setSink(std::make_shared<QuietSink>());
    measureHelloLatency();
    // The bounded case first, so that its figure does not ride on a heap grown by the other.
    measureIdleMemory(64, 1000);
    measureIdleMemory(2000, 1000);
    return 0;
}
