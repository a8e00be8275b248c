#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/linux/x11/X11Registration.hpp"

typedef union _XEvent XEvent;

namespace quelm {

// One thread ("quelmix.x11") with a connection of its own that waits for X events (poll() on
// the connection and on a wake-up descriptor) and hands each to the handlers registered for
// its type. Extension events are registered at the extension's event base plus the event
// number, from extensions(). The pump also runs small tasks on its thread, once (post) or
// repeatedly (every): that is where requests on its connection are made, for example to
// select the events it should receive.
//
// Handlers and tasks run on the pump thread, one at a time; they must be quick, may use the
// connection they are given (and only that one) and may register or unregister. Releasing a
// registration from another thread waits for a call of that handler in progress, so nothing
// runs after the release returns.
// When the server is lost the pump's lost listeners run (on the pump thread) and the pump
// stops: handlers and tasks are never called again.
//
// Usage:
//   auto pump = X11EventPump::start();             // $DISPLAY; nullptr when unreachable
//   if (const auto randr = pump->extensions().randr) {
//       screenChanged_ = pump->subscribe(*randr + RRScreenChangeNotify,
//                                        [](const XEvent& event, X11Connection&) { ... });
//       pump->post([](X11Connection& x) {
//           XRRSelectInput(x.display(), DefaultRootWindow(x.display()),
//                          RRScreenChangeNotifyMask);
//       });
//   }
//   lost_ = pump->onLost([] { ... });
class X11EventPump final : public std::enable_shared_from_this<X11EventPump> {
  public:
    // Event bases of the extensions present on the server (their versions negotiated).
    struct Extensions {
        std::optional<int> randr;
        int randrMajor = 0;
        int randrMinor = 0;
        std::optional<int> damage;
        std::optional<int> xfixes;
        int xfixesMajor = 0;
    };
    using Handler = std::function<void(const XEvent& event, X11Connection& connection)>;
    using Task = std::function<void(X11Connection& connection)>;

    // Connects and starts the thread; nothing when the server cannot be reached.
    static std::shared_ptr<X11EventPump> start(const std::string& displayName = "");
    // Stops the thread (see stop()).
    ~X11EventPump();
    X11EventPump(const X11EventPump&) = delete;
    X11EventPump& operator=(const X11EventPump&) = delete;

    // Ends the thread and waits for it (unless called on it); idempotent. Pending tasks are
    // dropped.
    void stop();

    const Extensions& extensions() const { return extensions_; }
    const std::string& displayName() const { return connection_->name(); }
    bool isLost() const { return connection_->isLost(); }
    // True on the pump thread.
    bool isCurrent() const;

    X11Registration subscribe(int eventType, Handler handler);
    // Runs `task` on the pump thread soon; dropped if the pump stops first.
    void post(Task task);
    // Runs `task` every `seconds` on the pump thread, the first time one interval from now.
    X11Registration every(double seconds, Task task);
    // Runs once when the server is lost (see X11Connection::onLost).
    X11Registration onLost(std::function<void()> listener);

  private:
    struct Timer {
        double interval = 0;
        double next = 0;
        std::shared_ptr<Task> task;
    };

    X11EventPump(std::unique_ptr<X11Connection> connection, Extensions extensions, int wakeFD);
    void run();
    void wake();
    void dispatch(XEvent& event);
    void runTasks();
    void runTimers();
    int pollTimeoutMs();
    // Waits until no handler or task is running, unless called from the pump thread.
    void waitForIdle();

    const std::unique_ptr<X11Connection> connection_;
    const Extensions extensions_;
    const int wakeFD_;
    std::atomic<bool> stopping_{false};
    // Set on the pump thread when the last reference went there; that thread deletes the pump.
    bool releasedOnThread_ = false;
    std::thread thread_;
    std::thread::id threadID_;

    std::mutex mutex_;
    std::uint64_t nextID_ = 0;
    std::map<int, std::vector<std::pair<std::uint64_t, std::shared_ptr<Handler>>>> handlers_;
    std::vector<Task> tasks_;
    std::map<std::uint64_t, Timer> timers_;
    // Held while a handler or task runs, so a release from elsewhere can wait for it.
    std::mutex running_;
};

}  // namespace quelm
