#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/linux/x11/X11CursorMonitor.hpp"
#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"
#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "tests/fakes/CapturingLogSink.hpp"
#include "tests/fakes/PrivateXvfb.hpp"

// Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>

namespace quelm {
namespace {

using test::CapturingLogSink;
using test::PrivateXvfb;

// No client ever gets this id: resource ids carry the client's base in their upper bits.
constexpr Window kNoSuchWindow = 0x1fffff;

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A display that lets one client in and then dies: it passes the client's connection setup to
// a real server and the server's answer back, then closes both sockets, so the first request
// XOpenDisplay makes after the setup finds the server gone. Listens on the abstract socket of
// a free display number, which libxcb tries first.
class DyingDisplay {
  public:
    static std::optional<DyingDisplay> start(int realDisplay) {
        for (int number = 700; number < 800; ++number) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            const socklen_t length = abstractAddress(number, address);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(fd, 1) == 0) {
                return DyingDisplay(number, fd, realDisplay);
            }
            ::close(fd);
        }
        return std::nullopt;
    }
    DyingDisplay(DyingDisplay&& other) noexcept
        : number_(other.number_),
          listener_(std::exchange(other.listener_, -1)),
          real_(other.real_) {}
    ~DyingDisplay() {
        if (thread_.joinable()) {
            thread_.join();
        }
        if (listener_ >= 0) {
            ::close(listener_);
        }
    }

    std::string name() const { return ":" + std::to_string(number_); }
    // Serves one client on a thread of its own.
    void serveOnce() {
        thread_ = std::thread([this] {
            const int client = ::accept(listener_, nullptr, nullptr);
            const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            const socklen_t length = abstractAddress(real_, address);
            if (client >= 0 &&
                ::connect(server, reinterpret_cast<sockaddr*>(&address), length) == 0) {
                // Setup request: 12 bytes, then the authorisation name and data, each padded.
                std::vector<std::uint8_t> request = readExactly(client, 12);
                if (request.size() == 12) {
                    const auto padded = [](unsigned n) { return (n + 3) & ~3u; };
                    const unsigned names = padded(request[6] | request[7] << 8);
                    const unsigned data = padded(request[8] | request[9] << 8);
                    auto rest = readExactly(client, names + data);
                    request.insert(request.end(), rest.begin(), rest.end());
                    writeAll(server, request);
                    // Setup answer: 8 bytes, then 4 × the length in bytes 6 and 7.
                    auto answer = readExactly(server, 8);
                    if (answer.size() == 8) {
                        auto body = readExactly(server, 4u * (answer[6] | answer[7] << 8));
                        answer.insert(answer.end(), body.begin(), body.end());
                        writeAll(client, answer);
                    }
                }
            }
            ::close(server);
            if (client >= 0) {
                ::close(client);
            }
        });
    }

  private:
    DyingDisplay(int number, int listener, int real)
        : number_(number), listener_(listener), real_(real) {}

    static socklen_t abstractAddress(int number, sockaddr_un& address) {
        address.sun_family = AF_UNIX;
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        std::memcpy(address.sun_path + 1, path.data(), path.size());
        return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    }
    static std::vector<std::uint8_t> readExactly(int fd, std::size_t count) {
        std::vector<std::uint8_t> bytes(count);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::read(fd, bytes.data() + done, count - done);
            if (n <= 0) {
                bytes.resize(done);
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return bytes;
    }
    static void writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }

    int number_;
    int listener_;
    int real_;
    std::thread thread_;
};

class X11LayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = PrivateXvfb::start(why_);
        if (!server_) {
            GTEST_SKIP() << "Xvfb is not available: " << why_;
        }
    }

    std::string why_;
    std::unique_ptr<PrivateXvfb> server_;
};

TEST_F(X11LayerTest, ErrorsInsideATrapComeBackAsStatusAndNestedTrapsKeepTheirOwn) {
    auto connection = X11Connection::open(server_->name());
    ASSERT_NE(connection, nullptr);
    Display* display = connection->display();

    X11ErrorTrap outer(*connection);
    // Asynchronous: its error only arrives with the sync when a trap closes.
    XMapWindow(display, kNoSuchWindow);
    {
        X11ErrorTrap inner(*connection);
        XFlush(display);
        const X11Status status = inner.leave();
        EXPECT_TRUE(status.ok()) << status.describe();
    }
    XUnmapWindow(display, kNoSuchWindow);
    const X11Status status = outer.leave();
    EXPECT_FALSE(status.ok());
    EXPECT_FALSE(status.lost);
    EXPECT_EQ(status.errorCode, BadWindow);
    EXPECT_EQ(status.requestCode, X_MapWindow);
    EXPECT_EQ(status.resourceID, kNoSuchWindow);
    EXPECT_EQ(status.errorCount, 2);
    EXPECT_EQ(outer.leave().errorCode, BadWindow) << "leaving twice reports the same";

    X11ErrorTrap clean(*connection);
    XWindowAttributes attributes;
    EXPECT_NE(XGetWindowAttributes(display, DefaultRootWindow(display), &attributes), 0);
    EXPECT_TRUE(clean.leave().ok());
}

TEST_F(X11LayerTest, AnErrorOutsideATrapIsLoggedAndTheProcessGoesOn) {
    CapturingLogSink::Scope log;
    auto connection = X11Connection::open(server_->name());
    ASSERT_NE(connection, nullptr);
    XMapWindow(connection->display(), kNoSuchWindow);
    XSync(connection->display(), False);
    EXPECT_EQ(log.sink().count("X11: unexpected X error 3 (request 8.0", true), 1)
        << ::testing::PrintToString(log.sink().lines());
    EXPECT_FALSE(connection->isLost());
}

TEST_F(X11LayerTest, ALostServerIsReportedOnceAndLeavesTheProcessRunning) {
    CapturingLogSink::Scope log;
    std::string why;
    auto other = PrivateXvfb::start(why);
    ASSERT_NE(other, nullptr) << why;
    auto bystander = X11Connection::open(other->name());
    auto connection = X11Connection::open(server_->name());
    auto pump = X11EventPump::start(server_->name());
    ASSERT_TRUE(bystander && connection && pump);
    std::atomic<int> connectionLost{0};
    std::atomic<int> pumpLost{0};
    auto connectionLoss = connection->onLost([&] { ++connectionLost; });
    auto pumpLoss = pump->onLost([&] { ++pumpLost; });

    server_->kill();

    // The pump notices on its own, from its poll().
    EXPECT_TRUE(eventually([&] { return pumpLost.load() == 1; }));
    EXPECT_TRUE(pump->isLost());
    // An idle connection notices at its next request; a trap reports the loss.
    X11ErrorTrap trap(*connection);
    XMapWindow(connection->display(), DefaultRootWindow(connection->display()));
    const X11Status status = trap.leave();
    EXPECT_TRUE(status.lost);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(connectionLost.load(), 1);
    // Later calls return at once; listeners are not called again.
    XSync(connection->display(), False);
    XFlush(connection->display());
    EXPECT_EQ(connectionLost.load(), 1);
    int late = 0;
    auto lateLoss = connection->onLost([&] { ++late; });
    EXPECT_EQ(late, 1) << "a listener added after the loss hears of it at once";
    EXPECT_GE(log.sink().count("X11: lost the connection to the X server", true), 2);

    pump.reset();
    connection.reset();
    // A connection to another server does not notice.
    X11ErrorTrap still(*bystander);
    XSync(bystander->display(), False);
    EXPECT_TRUE(still.leave().ok());
    EXPECT_FALSE(bystander->isLost());
}

TEST_F(X11LayerTest, AServerThatDiesWhileLettingUsInGivesNoConnectionAndTheProcessGoesOn) {
    auto dying = DyingDisplay::start(std::stoi(server_->name().substr(1)));
    ASSERT_TRUE(dying) << "no free display number for the stand-in server";
    CapturingLogSink::Scope log;
    dying->serveOnce();
    // Xlib's own exit handler would end this test program here.
    EXPECT_EQ(X11Connection::open(dying->name()), nullptr);
    EXPECT_EQ(log.sink().count("X11: the X server went away while letting us in"), 1);

    // Later connections are unaffected.
    auto connection = X11Connection::open(server_->name());
    ASSERT_NE(connection, nullptr);
    EXPECT_GT(XConnectionNumber(connection->display()), 0);
}

TEST_F(X11LayerTest, PumpDispatchesByTypeUntilAHandlerIsReleased) {
    auto pump = X11EventPump::start(server_->name());
    auto writer = X11Connection::open(server_->name());
    ASSERT_TRUE(pump && writer);
    EXPECT_TRUE(pump->extensions().randr.has_value());
    EXPECT_TRUE(pump->extensions().xfixes.has_value());

    std::atomic<int> first{0};
    std::atomic<int> second{0};
    std::atomic<int> keyPresses{0};
    auto firstHandler = pump->subscribe(PropertyNotify, [&](const XEvent& event, X11Connection&) {
        EXPECT_EQ(event.type, PropertyNotify);
        ++first;
    });
    auto secondHandler = pump->subscribe(PropertyNotify, [&](const XEvent&, X11Connection&) {
        EXPECT_TRUE(pump->isCurrent());
        ++second;
    });
    auto otherType =
        pump->subscribe(KeyPress, [&](const XEvent&, X11Connection&) { ++keyPresses; });
    std::promise<void> selected;
    pump->post([&](X11Connection& x) {
        XSelectInput(x.display(), DefaultRootWindow(x.display()), PropertyChangeMask);
        XSync(x.display(), False);
        selected.set_value();
    });
    ASSERT_EQ(selected.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

    Display* display = writer->display();
    const Atom property = XInternAtom(display, "QUELM_TEST", False);
    const auto touch = [&] {
        const unsigned char value = 1;
        XChangeProperty(display, DefaultRootWindow(display), property, XA_CARDINAL, 8,
                        PropModeReplace, &value, 1);
        XSync(display, False);
    };
    touch();
    EXPECT_TRUE(eventually([&] { return first.load() == 1 && second.load() == 1; }));

    firstHandler.reset();
    touch();
    // The second handler hearing of the change shows the event went by.
    EXPECT_TRUE(eventually([&] { return second.load() == 2; }));
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(keyPresses.load(), 0);
}

TEST_F(X11LayerTest, PumpRunsRepeatingTasksUntilReleased) {
    auto pump = X11EventPump::start(server_->name());
    ASSERT_NE(pump, nullptr);
    std::atomic<int> ticks{0};
    auto timer = pump->every(0.01, [&](X11Connection&) { ++ticks; });
    EXPECT_TRUE(eventually([&] { return ticks.load() >= 3; }));
    timer.reset();
    const int after = ticks.load();
    std::promise<void> flushed;
    pump->post([&](X11Connection&) { flushed.set_value(); });
    flushed.get_future().wait();
    EXPECT_EQ(ticks.load(), after);
}

TEST_F(X11LayerTest, CursorMonitorFollowsThePointerWhileReadAndForgetsItWithTheServer) {
    auto pump = X11EventPump::start(server_->name());
    auto mover = X11Connection::open(server_->name());
    ASSERT_TRUE(pump && mover);
    auto monitor = X11CursorMonitor::create(pump, 0.01);
    Display* display = mover->display();
    for (const PointerPosition target : {PointerPosition{100, 200}, PointerPosition{640, 360}}) {
        XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, int(target.x),
                     int(target.y));
        XSync(display, False);
        EXPECT_TRUE(eventually([&] { return monitor->pointerPosition() == target; }))
            << target.x << "," << target.y;
    }
    server_->kill();
    EXPECT_TRUE(eventually([&] { return !monitor->pointerPosition().has_value(); }));
}

// While capture reports the pointer it reads anyway, the monitor does not query the server
// again; once the reports stop, its own poll takes over.
TEST_F(X11LayerTest, CursorMonitorTakesReportedPositionsInsteadOfPolling) {
    auto pump = X11EventPump::start(server_->name());
    auto mover = X11Connection::open(server_->name());
    ASSERT_TRUE(pump && mover);
    Display* display = mover->display();
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 300, 300);
    XSync(display, False);

    constexpr double kInterval = 0.5;
    auto monitor = X11CursorMonitor::create(pump, kInterval);
    const PointerPosition reported{5, 7};
    monitor->report(reported);
    EXPECT_EQ(monitor->pointerPosition(), reported);  // starts polling
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(monitor->pointerPosition(), reported) << "the poll read the server again";

    EXPECT_TRUE(eventually([&] {
        return monitor->pointerPosition() == PointerPosition{300, 300};
    })) << "no poll after the reports stopped";
}

}  // namespace
}  // namespace quelm
