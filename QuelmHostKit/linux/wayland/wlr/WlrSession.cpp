#include "QuelmHostKit/linux/wayland/wlr/WlrSession.hpp"

#include <cerrno>
#include <cstring>

#include "QuelmHostKit/linux/wayland/WaylandPointer.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WaylandConnection.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrCaptureService.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrEventPoster.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrOutputs.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrPasteboard.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

std::unique_ptr<WlrSession> WlrSession::open(Options options, std::string* why) {
    auto connection = WaylandConnection::connect(options.displayName);
    if (!connection) {
        if (why) {
            *why = "no compositor answers at " +
                   (options.displayName.empty() ? std::string("$WAYLAND_DISPLAY")
                                                : options.displayName) +
                   ": " + std::strerror(errno);
        }
        return nullptr;
    }
    const auto& globals = connection->globals();
    if (!globals.screencopy) {
        if (why) {
            *why = "the compositor offers no wlr-screencopy";
        }
        connection->stop();
        return nullptr;
    }
    std::unique_ptr<WlrSession> session(new WlrSession());
    session->connection_ = connection;
    session->pointer_ = std::make_shared<WaylandPointer>();
    session->capture_ = std::make_shared<WlrCaptureService>(WlrCaptureService::Options{
        connection, std::move(options.audio), std::move(options.neverCapture)});
    session->poster_ = WlrEventPoster::create(connection, session->pointer_);
    if (!session->poster_) {
        Log::info(
            "the compositor offers no virtual pointer or keyboard: no input from the companion");
    }
    return session;
}

WlrSession::~WlrSession() {
    shutdown();
}

std::shared_ptr<DisplayServices> WlrSession::displayServices() {
    return connection_->outputs();
}

std::shared_ptr<CursorMonitor> WlrSession::cursorMonitor() {
    return pointer_;
}

std::shared_ptr<CaptureService> WlrSession::captureService() {
    return capture_;
}

std::shared_ptr<EventPoster> WlrSession::eventPoster() {
    return poster_;
}

std::shared_ptr<Pasteboard> WlrSession::createPasteboard(std::shared_ptr<SerialQueue> mainQueue) {
    return WlrPasteboard::create(connection_, std::move(mainQueue));
}

bool WlrSession::isLost() const {
    return connection_->isLost();
}

void WlrSession::onLost(std::function<void()> listener) {
    connection_->addLostListener(std::move(listener));
}

void WlrSession::shutdown() {
    // The poster's devices are destroyed on the event thread, which must still run.
    poster_.reset();
    connection_->stop();
}

}  // namespace quelm
