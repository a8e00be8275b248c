// Loopback figures for the host's server: video frames per second to a companion that reads and
// acknowledges as fast as it can (with host CPU per frame), and host memory while a companion
// stops reading during audio at 256 kbit/s.
//
//   StreamBench [seconds for the stalled-reader run, default 60]

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "QuelmCore/AudioPacket.hpp"
#include "QuelmCore/VideoFrame.hpp"
#include "QuelmHostKit/queues/IoThread.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "QuelmHostKit/server/RemoteServer.hpp"

namespace {

using namespace quelm;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr const char* kToken = "bench-T0ken_0123456789abcdefghijk";
constexpr std::size_t kFrameBytes = 100 * 1024;

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

long rssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

std::string helloText() {
    return std::string(R"({"hello":{"_0":{"token":")") + kToken +
           R"(","config":{"maxEdge":1920,"bitrateMbps":6,"fps":30}}}})";
}

class NoInput final : public InputHandling {
  public:
    void handle(const ClientMessage&) override {}
    void releaseAll() override {}
};

// Frames as fast as the companion acknowledges them (at most 2 in flight), and audio packets at
// the asked rate, each from a thread of its own.
class BenchScreen final : public ScreenStreaming {
  public:
    ~BenchScreen() override {
        stop();
        setAudio(0, nullptr);
    }

    void start(const StreamConfig&, FrameHandler onFrame, ErrorHandler) override {
        stop();
        std::lock_guard lock(mutex_);
        running_ = true;
        inFlight_ = 0;
        video_ = std::thread([this, onFrame = std::move(onFrame)] { runVideo(onFrame); });
    }

    void stop() override {
        std::thread thread;
        {
            std::lock_guard lock(mutex_);
            running_ = false;
            thread = std::move(video_);
        }
        changed_.notify_all();
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
            thread.join();
        }
    }

    void acknowledge() override {
        {
            std::lock_guard lock(mutex_);
            if (inFlight_ > 0) {
                --inFlight_;
            }
            ++acks_;
        }
        changed_.notify_all();
    }

    void requestKeyFrame() override {}
    void update(const StreamConfig&) override {}

    void setAudio(std::int64_t kbps, PacketHandler onPacket) override {
        std::thread old;
        {
            std::lock_guard lock(mutex_);
            audioRunning_ = false;
            old = std::move(audio_);
        }
        changed_.notify_all();
        if (old.joinable()) {
            old.join();
        }
        if (kbps > 0 && onPacket) {
            std::lock_guard lock(mutex_);
            audioRunning_ = true;
            audio_ = std::thread(
                [this, kbps, onPacket = std::move(onPacket)] { runAudio(kbps, onPacket); });
        }
    }

    std::uint64_t frames() const { return frames_.load(); }
    std::uint64_t packets() const { return packets_.load(); }
    bool started() {
        std::lock_guard lock(mutex_);
        return running_;
    }

  private:
    void runVideo(const FrameHandler& onFrame) {
        VideoFrame frame;
        frame.width = 1920;
        frame.height = 1080;
        frame.payload.assign(kFrameBytes, 0x5A);
        std::uint32_t body = kFrameBytes - 4;
        frame.payload[0] = std::uint8_t(body >> 24);
        frame.payload[1] = std::uint8_t(body >> 16);
        frame.payload[2] = std::uint8_t(body >> 8);
        frame.payload[3] = std::uint8_t(body);
        frame.payload[4] = 0x41;
        std::uint32_t seq = 0;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return !running_ || inFlight_ < 2; });
                if (!running_) {
                    return;
                }
                ++inFlight_;
            }
            frame.seq = ++seq;
            onFrame(frame);
            ++frames_;
        }
    }

    void runAudio(std::int64_t kbps, const PacketHandler& onPacket) {
        const double perSecond = AudioPacket::sampleRate / AudioPacket::framesPerPacket;
        const auto unitBytes = std::size_t(double(kbps) * 1000 / 8 / perSecond + 0.5);
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / perSecond));
        AudioPacket packet;
        packet.cookie = Bytes{0x11, 0x90};
        packet.units.push_back(Bytes(unitBytes, 0x21));
        auto next = Clock::now();
        std::uint32_t seq = 0;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                if (changed_.wait_until(lock, next, [this] { return !audioRunning_; })) {
                    return;
                }
            }
            packet.seq = ++seq;
            onPacket(packet);
            ++packets_;
            if (seq == 1) {
                packet.cookie.clear();
            }
            next += period;
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false;
    bool audioRunning_ = false;
    int inFlight_ = 0;
    std::uint64_t acks_ = 0;
    std::thread video_;
    std::thread audio_;
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> packets_{0};
};

// A server on 127.0.0.1 with an ephemeral port and the bench substitutes.
class Host {
  public:
    Host() {
        RemoteServer::Options options;
        options.port = 0;
        RemoteServer::Collaborators services;
        services.mainQueue = mainQueue_;
        services.token = [] { return std::optional<std::string>(kToken); };
        services.screen = screen;
        services.input = std::make_shared<NoInput>();
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
        services.selectDisplay = [](std::uint32_t) {};
        server_ = RemoteServer::create(io_.context(), options, std::move(services));
        server_->onStatus = [this](RemoteServer::Status status) {
            if (std::holds_alternative<RemoteServer::Waiting>(status)) {
                ++waitings;
            }
        };
        server_->start();
        std::promise<void> listening;
        server_->setLocalAllowed(true, [&] { listening.set_value(); });
        listening.get_future().wait();
        port = server_->localPort("127.0.0.1").value_or(0);
    }

    ~Host() {
        server_->stop();
        server_.reset();
        io_.stop();
        screen->stop();
        screen->setAudio(0, nullptr);
    }

    RemoteServer& server() { return *server_; }

    std::shared_ptr<BenchScreen> screen = std::make_shared<BenchScreen>();
    std::uint16_t port = 0;
    std::atomic<int> waitings{0};

  private:
    IoThread io_{"bench.server"};
    std::shared_ptr<ThreadQueue> mainQueue_ = std::make_shared<ThreadQueue>("bench.main");
    std::shared_ptr<RemoteServer> server_;
};

// The reading companion, run in a child process: hello, then read every message and acknowledge
// each frame, until `seconds` pass.
int readingCompanion(std::uint16_t port, double seconds) {
    try {
        boost::asio::io_context io;
        websocket::stream<beast::tcp_stream> ws(io);
        tcp::endpoint remote(boost::asio::ip::make_address("127.0.0.1"), port);
        beast::get_lowest_layer(ws).connect(remote);
        ws.read_message_max(0);
        ws.handshake("127.0.0.1:" + std::to_string(port), "/");
        ws.text(true);
        ws.write(boost::asio::buffer(helloText()));
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        beast::flat_buffer buffer;
        while (Clock::now() < end) {
            ws.read(buffer);
            if (!ws.got_text()) {
                auto data = buffer.data();
                auto* bytes = static_cast<const std::uint8_t*>(data.data());
                if (data.size() >= 1 && bytes[0] == VideoFrame::tag) {
                    auto frame = VideoFrame::decode({bytes, data.size()});
                    if (frame) {
                        std::string ack = R"({"ack":{"seq":)" + std::to_string(frame->seq) + "}}";
                        ws.text(true);
                        ws.write(boost::asio::buffer(ack));
                    }
                }
            }
            buffer.consume(buffer.size());
        }
        beast::error_code ignored;
        beast::get_lowest_layer(ws).socket().close(ignored);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "companion: %s\n", e.what());
        return 1;
    }
    return 0;
}

void frameThroughput() {
    constexpr double window = 5.0;
    int portPipe[2];
    if (pipe(portPipe) != 0) {
        std::perror("pipe");
        return;
    }
    // Fork before any thread exists, so the child is a clean single-threaded process.
    pid_t child = fork();
    if (child == 0) {
        close(portPipe[1]);
        std::uint16_t port = 0;
        if (read(portPipe[0], &port, sizeof port) != sizeof port) {
            _exit(2);
        }
        _exit(readingCompanion(port, window + 3.0));
    }
    close(portPipe[0]);
    {
        Host host;
        auto written = write(portPipe[1], &host.port, sizeof host.port);
        close(portPipe[1]);
        (void)written;
        auto waitUntil = Clock::now() + std::chrono::seconds(5);
        while (host.screen->frames() < 10 && Clock::now() < waitUntil) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        auto frames0 = host.screen->frames();
        auto cpu0 = cpuSeconds();
        auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(window));
        auto frames1 = host.screen->frames();
        auto cpu1 = cpuSeconds();
        double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        double frames = double(frames1 - frames0);
        std::printf(
            "video, 100 KB frames to a loopback companion reading and acknowledging "
            "(companion in a child process):\n");
        std::printf("  %.0f frames in %.2f s: %.0f frames/s, %.1f MB/s\n", frames, elapsed,
                    frames / elapsed, frames * kFrameBytes / elapsed / 1e6);
        if (frames > 0) {
            std::printf("  host process CPU %.3f s: %.1f us per frame (%.0f%% of one core)\n",
                        cpu1 - cpu0, (cpu1 - cpu0) / frames * 1e6, (cpu1 - cpu0) / elapsed * 100);
        }
        int status = 0;
        waitpid(child, &status, 0);
    }
}

void stalledReaderMemory(double seconds) {
    long rssStart = rssKiB();
    Host host;
    boost::asio::io_context io;
    websocket::stream<beast::tcp_stream> ws(io);
    auto& socket = beast::get_lowest_layer(ws).socket();
    tcp::endpoint remote(boost::asio::ip::make_address("127.0.0.1"), host.port);
    socket.open(remote.protocol());
    socket.set_option(boost::asio::socket_base::receive_buffer_size(4096));
    socket.connect(remote);
    ws.handshake("127.0.0.1:" + std::to_string(host.port), "/");
    ws.text(true);
    ws.write(boost::asio::buffer(helloText()));
    ws.write(boost::asio::buffer(std::string(R"({"audio":{"kbps":256}})")));
    // From here on nothing is read.
    std::printf("memory, companion stops reading while audio flows at 256 kbit/s, %.0f s:\n",
                seconds);
    std::printf("  %5.0f s  RSS %ld KiB (before the server existed)\n", 0.0, rssStart);
    auto t0 = Clock::now();
    auto report = [&](double at) {
        auto queued = host.server().activeQueuedBytes();
        std::printf("  %5.0f s  RSS %ld KiB, audio packets %llu, queued %s, disconnects %d\n", at,
                    rssKiB(), (unsigned long long)host.screen->packets(),
                    queued ? (std::to_string(*queued) + " B").c_str() : "none",
                    host.waitings.load());
        std::fflush(stdout);
    };
    report(0);
    for (double next = 10; next < seconds; next += 10) {
        std::this_thread::sleep_until(
            t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(next)));
        report(next);
    }
    std::this_thread::sleep_until(
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    report(seconds);
    beast::error_code ignored;
    socket.close(ignored);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    if (seconds <= 0) {
        seconds = 60.0;
    }
    frameThroughput();
    stalledReaderMemory(seconds);
    return 0;
}
