#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "QuelmHostKit/linux/x11/X11Registration.hpp"

typedef struct _XDisplay Display;

namespace quelm {

class X11ErrorTrap;

// One connection to the X server, owning its Display*.
//
// Threads: one connection per thread that talks to X. Capture, input injection and the event
// pump each open their own and never hand their Display* to another thread, so no connection
// needs a lock of ours. XInitThreads is still called once, before the first Xlib call of the
// process, because GTK and other libraries may share Xlib with us on other threads.
//
// Errors: nothing in Xlib may end the process any more.
// - An X error on this connection goes to the innermost X11ErrorTrap open on it (requests made
//   inside the trap); any other X error on it is logged and dropped.
// - When the server goes away, the connection is marked lost and its lost listeners run once,
//   on the thread that noticed, inside the failing Xlib call: they must be quick and must not
//   call Xlib on this connection. From then on Xlib calls on it return at once with nothing;
//   the owner drops the connection when convenient.
// Xlib's process-wide handlers are installed once; for displays opened by others (GTK) they
// pass errors on to the handlers installed before ours.
//
// Usage:
//   auto connection = X11Connection::open();          // $DISPLAY; nullptr when unreachable
//   auto loss = connection->onLost([] { Log::info("display gone"); });
//   X11ErrorTrap trap(*connection);
//   XMapWindow(connection->display(), window);
//   if (const X11Status status = trap.leave(); !status) { /* status.describe() */ }
class X11Connection final {
  public:
    // Nothing when the server cannot be reached. An empty name means $DISPLAY.
    static std::unique_ptr<X11Connection> open(const std::string& name = "");
    // XInitThreads and the process-wide handlers; idempotent, any thread. open() calls it.
    static void initialise();

    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    Display* display() const { return display_; }
    // The socket, for poll().
    int fd() const;
    // As the server was named when opened (":1").
    const std::string& name() const { return name_; }

    // True once the server is gone; any thread.
    bool isLost() const { return lost_.load(); }
    // Runs `listener` once when the server is lost (at once if it already is, on this thread).
    X11Registration onLost(std::function<void()> listener);

  private:
    struct Listeners;
    // Xlib's process-wide handlers, which find the connection of a Display*.
    struct Handlers;
    friend class X11ErrorTrap;

    X11Connection(Display* display, std::string name);
    // XOpenDisplay that returns nothing, rather than ending the process, when the server
    // breaks the connection before XOpenDisplay is done.
    static Display* openDisplay(const std::string& name);
    void markLost();

    Display* display_;
    const std::string name_;
    std::atomic<bool> lost_{false};
    std::shared_ptr<Listeners> listeners_;
    // The innermost trap open on this connection; only its owner thread touches it.
    X11ErrorTrap* trap_ = nullptr;
};

}  // namespace quelm
