#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <thread>

#include "QuelmCore/AudioPacket.hpp"
#include "QuelmCore/VideoFrame.hpp"
#include "tests/fakes/RawWsClient.hpp"
#include "tests/fakes/ServerHarness.hpp"

namespace quelm::test {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

// Resident memory of this process (host and test clients alike) in KiB.
long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

bool raiseFileLimit(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    if (limit.rlim_cur >= wanted) {
        return true;
    }
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= wanted;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const std::string kUpgradeRequest =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// 1000 connections that upgrade and then say nothing, all held (the pending bound raised
// above them): the companion still gets in at once, and what they cost is printed.
TEST(RemoteServerLoad, ThousandIdleConnectionsDoNotKeepTheCompanionOut) {
    constexpr int kIdle = 1000;
    ASSERT_TRUE(raiseFileLimit(2 * kIdle + 512)) << "cannot raise the descriptor limit";
    ServerHarness harness;
    auto options = ServerHarness::fastOptions();
    options.maxPendingPeers = kIdle + 16;
    options.helloTimeout = 60;
    harness.start(options);
    tcp::endpoint server(boost::asio::ip::make_address("127.0.0.1"), harness.port());

    long before = residentKiB();
    boost::asio::io_context io;
    std::vector<tcp::socket> idle;
    idle.reserve(kIdle);
    for (int i = 0; i < kIdle; ++i) {
        auto& socket = idle.emplace_back(io);
        socket.connect(server);
        boost::asio::write(socket, boost::asio::buffer(kUpgradeRequest));
    }
    harness.drain();
    std::this_thread::sleep_for(300ms);
    harness.drain();
    long held = residentKiB();

    auto start = std::chrono::steady_clock::now();
    auto companion = harness.authenticate();
    double took = secondsSince(start);
    ASSERT_TRUE(companion);
    std::printf(
        "%d idle connections: RSS %ld KiB -> %ld KiB (+%ld KiB, %.1f KiB each); "
        "companion authenticated in %.1f ms\n",
        kIdle, before, held, held - before, double(held - before) / kIdle, took * 1000);
    EXPECT_EQ(harness.log().count("too many pending connections", true), 0);
    EXPECT_FALSE(companion->closed());
    // Far above the few KiB a pending peer should cost; catches a buffer per connection.
    EXPECT_LT(held - before, 200 * 1024);
}

// One client opening bare connections as fast as it can while a companion connects and sends its
// hello at once, again and again: it always gets in.
TEST(RemoteServerLoad, ConnectionFloodDoesNotPushOutAPromptCompanion) {
    ASSERT_TRUE(raiseFileLimit(4096)) << "cannot raise the descriptor limit";
    ServerHarness harness;
    harness.start();  // the default pending bound
    tcp::endpoint server(boost::asio::ip::make_address("127.0.0.1"), harness.port());

    std::atomic<bool> flooding = true;
    std::atomic<long> opened = 0;
    std::thread flood([&] {
        boost::asio::io_context io;
        // Keeps the newest connections open, as many as one client may hold.
        std::deque<tcp::socket> open;
        while (flooding) {
            boost::system::error_code error;
            auto& socket = open.emplace_back(io);
            socket.connect(server, error);
            ++opened;
            if (open.size() > 1000) {
                open.pop_front();
            }
        }
    });

    // Once its upgrade is through, a companion must always get in; how long the connection
    // itself takes (the kernel's accept backlog full of the flood) is only printed.
    constexpr int kAttempts = 20;
    int admitted = 0;
    int connectFailures = 0;
    double slowestConnect = 0;
    double slowestHello = 0;
    std::vector<std::unique_ptr<WsTestClient>> companions;
    for (int i = 0; i < kAttempts; ++i) {
        auto start = std::chrono::steady_clock::now();
        auto companion = harness.connect();
        slowestConnect = std::max(slowestConnect, secondsSince(start));
        if (!companion) {
            ++connectFailures;
            continue;
        }
        start = std::chrono::steady_clock::now();
        companion->sendText(ServerHarness::hello(ServerHarness::kToken));
        auto answer = companion->receiveText();
        slowestHello = std::max(slowestHello, secondsSince(start));
        if (answer && answer->starts_with(R"({"hello":)")) {
            ++admitted;
        }
        // The previous one is replaced; keeping it open until then is enough.
        companions.push_back(std::move(companion));
        if (companions.size() > 2) {
            companions.erase(companions.begin());
        }
        std::this_thread::sleep_for(50ms);
    }
    flooding = false;
    flood.join();

    int evictions = 0;
    const std::string report = "too many pending connections, closing 127.0.0.1 (";
    for (const auto& line : harness.log().lines()) {
        if (line.starts_with(report)) {
            evictions += std::stoi(line.substr(report.size()));
        }
    }
    std::printf(
        "flood: %ld connections opened, %d evictions reported so far; companion "
        "admitted %d of %d upgraded connections (%d connects failed), slowest connect "
        "%.1f ms, slowest hello answer %.1f ms\n",
        opened.load(), evictions, admitted, kAttempts - connectFailures, connectFailures,
        slowestConnect * 1000, slowestHello * 1000);
    EXPECT_GT(evictions, 0) << "the flood never filled the pending bound";
    EXPECT_EQ(admitted, kAttempts - connectFailures);
    EXPECT_GT(admitted, kAttempts / 2);
}

// An active companion that stops reading while video, audio, pointer reports and a clipboard
// image flow: the host's memory stays bounded and the send-queue rule closes the peer.
TEST(RemoteServerLoad, CompanionThatStopsReadingUnderAllTrafficIsClosedWithBoundedMemory) {
    ServerHarness harness;
    auto options = ServerHarness::fastOptions();
    options.peerLimits.maxQueuedBytes = 8u << 20;
    harness.start(options);
    RawWsClient stalled;
    ASSERT_TRUE(stalled.connect(harness.port(), 4096));
    stalled.sendText(ServerHarness::hello(ServerHarness::kToken));
    stalled.sendText(R"({"audio":{"kbps":128}})");
    stalled.sendText(R"({"clipboardSharing":{"_0":true}})");
    stalled.sendText(R"({"clipboardImages":{"_0":true}})");
    ASSERT_TRUE(harness.waitForStatuses(1));
    ASSERT_TRUE(harness.screen->waitForCalls(3));
    harness.drain();

    long before = residentKiB();
    std::atomic<bool> flowing = true;
    std::atomic<long> frames = 0;
    std::atomic<long> packets = 0;
    std::thread media([&] {
        const VideoFrame frame{1, 1920, 1080, false, {}, Bytes(60000, 0x22)};
        AudioPacket packet;
        packet.units.assign(4, Bytes(400, 0x33));
        while (flowing) {
            harness.screen->deliverFrame(frame);
            ++frames;
            for (int i = 0; i < 4; ++i) {
                ++packet.seq;
                harness.screen->deliverPacket(packet);
                ++packets;
            }
            std::this_thread::sleep_for(2ms);
        }
    });
    std::thread pointer([&] {
        for (int i = 0; flowing; ++i) {
            harness.setCursor(RemoteServer::Point{(i % 100) / 100.0, 0.5});
            std::this_thread::sleep_for(5ms);
        }
    });
    harness.server().sendClipboardImage(Bytes(4u << 20, 0x44), ClipImageFormat::png);

    bool closed = harness.log().waitFor("send queue full, closing 127.0.0.1", 10.0);
    long peak = residentKiB();
    flowing = false;
    media.join();
    pointer.join();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(harness.waitForStatuses(2));
    EXPECT_EQ(harness.statuses().back(), "waiting");
    EXPECT_TRUE(harness.input->waitForReleases(1));
    EXPECT_TRUE(stalled.waitEnded(3.0));
    std::printf(
        "stalled companion: %ld frames and %ld audio packets offered, RSS %ld KiB -> "
        "%ld KiB (+%ld KiB) at the close, send-queue bound %zu KiB\n",
        frames.load(), packets.load(), before, peak, peak - before,
        options.peerLimits.maxQueuedBytes / 1024);
    // Queue bound, the image and the socket buffers, with room to spare; unbounded growth over
    // the seconds the traffic flows goes far past it.
    EXPECT_LT(peak - before, 128 * 1024);
}

}  // namespace
}  // namespace quelm::test
