#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

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

}  // namespace
}  // namespace quelm
