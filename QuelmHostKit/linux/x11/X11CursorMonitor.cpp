#include "QuelmHostKit/linux/x11/X11CursorMonitor.hpp"

#include <X11/Xlib.h>

#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

namespace {

// Polling stops after this long without a reader.
constexpr double kIdleSeconds = 2.0;
// Reports younger than this many intervals stand for a poll.
constexpr double kReportedFreshness = 2.0;

}  // namespace

std::shared_ptr<X11CursorMonitor> X11CursorMonitor::create(std::shared_ptr<X11EventPump> pump,
                                                           double interval) {
    if (!pump) {
        return nullptr;
    }
    auto monitor =
        std::shared_ptr<X11CursorMonitor>(new X11CursorMonitor(std::move(pump), interval));
    monitor->lostListener_ = monitor->pump_->onLost([weak = monitor->weak_from_this()] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->mutex_);
            self->lost_ = true;
            self->position_.reset();
        }
    });
    return monitor;
}

X11CursorMonitor::X11CursorMonitor(std::shared_ptr<X11EventPump> pump, double interval)
    : pump_(std::move(pump)), interval_(interval) {}

std::optional<PointerPosition> X11CursorMonitor::pointerPosition() {
    std::lock_guard lock(mutex_);
    lastRead_ = monotonicSeconds();
    if (!polling_ && !lost_) {
        polling_ = true;
        pump_->post([weak = weak_from_this()](X11Connection& connection) {
            if (auto self = weak.lock()) {
                self->startPolling();
                self->poll(connection);
            }
        });
    }
    return position_;
}

void X11CursorMonitor::report(PointerPosition position) {
    std::lock_guard lock(mutex_);
    if (!lost_) {
        position_ = position;
        reportedAt_ = monotonicSeconds();
    }
}

void X11CursorMonitor::startPolling() {
    timer_ = pump_->every(interval_, [weak = weak_from_this()](X11Connection& connection) {
        if (auto self = weak.lock()) {
            self->poll(connection);
        }
    });
}

void X11CursorMonitor::poll(X11Connection& connection) {
    {
        std::lock_guard lock(mutex_);
        const double now = monotonicSeconds();
        if (now - lastRead_ > kIdleSeconds) {
            polling_ = false;
            timer_.reset();
            return;
        }
        if (now - reportedAt_ < kReportedFreshness * interval_) {
            return;  // capture reads it at the same pace
        }
    }
    Display* display = connection.display();
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    // False when the pointer is on another screen of the server: keep the last position.
    const bool onScreen = XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX,
                                        &rootY, &windowX, &windowY, &mask);
    std::lock_guard lock(mutex_);
    if (onScreen && !connection.isLost()) {
        position_ = PointerPosition{double(rootX), double(rootY)};
    }
}

}  // namespace quelm
