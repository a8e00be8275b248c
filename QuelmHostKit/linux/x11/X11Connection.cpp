#include "QuelmHostKit/linux/x11/X11Connection.hpp"

#include <X11/Xlib.h>
#include <setjmp.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"
#include "QuelmHostKit/log/Log.hpp"

// Xlib's internal header, for the display's internal lock; last, as it defines min and max.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace quelm {

namespace {

// Set while this thread is inside XOpenDisplay. XOpenDisplay makes requests of its own after
// the server has let it in; a server that dies right then would send Xlib to its default exit
// handler (the per-display one can only be set once XOpenDisplay has returned). The I/O error
// handler jumps back to open() instead. Only Xlib's C frames lie between the two, and
// _XIOError has released the display's internal lock before calling the handler.
// Thread storage rather than a local of open(), whose locals setjmp may not restore.
struct Opening {
    bool active = false;
    jmp_buf jump;
    Display* failed = nullptr;
};
thread_local Opening opening;

}  // namespace

struct X11Connection::Listeners {
    std::mutex mutex;
    std::uint64_t nextID = 0;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> list;
};

struct X11Connection::Handlers {
    // Connections by Display*, so the process-wide handlers find the owner of an error.
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static std::unordered_map<Display*, X11Connection*>& connections() {
        static std::unordered_map<Display*, X11Connection*> instance;
        return instance;
    }
    // The handlers installed before ours, for displays that are not ours; nullptr where that
    // was Xlib's own, which would end the process.
    static inline XErrorHandler previousError = nullptr;
    static inline XIOErrorHandler previousIOError = nullptr;

    static int error(Display* display, XErrorEvent* event) {
        std::unique_lock lock(mutex());
        const auto it = connections().find(display);
        if (it == connections().end()) {
            lock.unlock();
            if (previousError != nullptr) {
                return previousError(display, event);
            }
            Log::info("X error " + std::to_string(event->error_code) + " on a foreign display");
            return 0;
        }
        X11Connection& connection = *it->second;
        for (X11ErrorTrap* trap = connection.trap_; trap != nullptr; trap = trap->outer_) {
            if (event->serial >= trap->firstSerial_) {
                trap->record(event->error_code, event->request_code, event->minor_code,
                             event->resourceid);
                return 0;
            }
        }
        lock.unlock();
        X11Status status;
        status.errorCode = event->error_code;
        status.requestCode = event->request_code;
        status.minorCode = event->minor_code;
        status.resourceID = event->resourceid;
        Log::info("X11: unexpected " + status.describe() + " on " + connection.name_);
        return 0;
    }

    static int ioError(Display* display) {
        {
            std::lock_guard lock(mutex());
            if (connections().contains(display)) {
                // Reported once by the exit handler, which Xlib calls next.
                return 0;
            }
        }
        if (opening.active) {
            opening.failed = display;
            longjmp(opening.jump, 1);
        }
        return previousIOError != nullptr ? previousIOError(display) : 0;
    }

    // Xlib calls this instead of exit() when our connection breaks; returning abandons the
    // connection, whose later calls then fail fast. Xlib took the display's user lock for the
    // exit it expected; released here, or any other thread touching the display (closing it
    // included) would wait for it forever. It also released the internal lock, which the Xlib
    // call that met the error releases again on its way out: taken back here, or that second
    // release would unlock the display under another thread that holds it by then.
    static void ioExit(Display* display, void* connection) {
        XUnlockDisplay(display);
        LockDisplay(display);
        static_cast<X11Connection*>(connection)->markLost();
    }

    static void install() {
        // Setting nullptr restores Xlib's own handler and tells us which one that is.
        const XErrorHandler before = XSetErrorHandler(nullptr);
        const XErrorHandler xlibDefault = XSetErrorHandler(&error);
        previousError = before == xlibDefault ? nullptr : before;
        const XIOErrorHandler ioBefore = XSetIOErrorHandler(nullptr);
        const XIOErrorHandler ioDefault = XSetIOErrorHandler(&ioError);
        previousIOError = ioBefore == ioDefault ? nullptr : ioBefore;
    }
};

void X11Connection::initialise() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        Handlers::install();
    });
}

std::unique_ptr<X11Connection> X11Connection::open(const std::string& name) {
    initialise();
    Display* display = openDisplay(name);
    if (display == nullptr) {
        return nullptr;
    }
    auto connection =
        std::unique_ptr<X11Connection>(new X11Connection(display, DisplayString(display)));
    XSetIOErrorExitHandler(display, &Handlers::ioExit, connection.get());
    std::lock_guard lock(Handlers::mutex());
    Handlers::connections()[display] = connection.get();
    return connection;
}

Display* X11Connection::openDisplay(const std::string& name) {
    if (setjmp(opening.jump) != 0) {
        opening.active = false;
        // Half built, so XCloseDisplay would crash on it: the structure is left behind, its
        // socket closed. The user lock Xlib took for the exit it expected goes with it.
        XUnlockDisplay(opening.failed);
        ::close(ConnectionNumber(opening.failed));
        Log::info("X11: the X server went away while letting us in");
        return nullptr;
    }
    opening.active = true;
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    opening.active = false;
    return display;
}

X11Connection::X11Connection(Display* display, std::string name)
    : display_(display), name_(std::move(name)), listeners_(std::make_shared<Listeners>()) {}

X11Connection::~X11Connection() {
    {
        std::lock_guard lock(listeners_->mutex);
        listeners_->list.clear();
    }
    // Still registered while closing: a server that is gone makes the closing sync fail, which
    // must come back here rather than end the process.
    XCloseDisplay(display_);
    std::lock_guard lock(Handlers::mutex());
    // Another thread may already have been given the same address by XOpenDisplay.
    const auto it = Handlers::connections().find(display_);
    if (it != Handlers::connections().end() && it->second == this) {
        Handlers::connections().erase(it);
    }
}

int X11Connection::fd() const {
    return ConnectionNumber(display_);
}

X11Registration X11Connection::onLost(std::function<void()> listener) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(listeners_->mutex);
        if (!lost_.load()) {
            id = ++listeners_->nextID;
            listeners_->list.emplace_back(id, std::move(listener));
        }
    }
    if (id == 0) {
        listener();
        return {};
    }
    return X11Registration([weak = std::weak_ptr<Listeners>(listeners_), id] {
        if (auto listeners = weak.lock()) {
            std::lock_guard lock(listeners->mutex);
            std::erase_if(listeners->list, [id](const auto& entry) { return entry.first == id; });
        }
    });
}

void X11Connection::markLost() {
    std::vector<std::function<void()>> toCall;
    {
        std::lock_guard lock(listeners_->mutex);
        if (lost_.exchange(true)) {
            return;
        }
        for (auto& [id, listener] : listeners_->list) {
            toCall.push_back(std::move(listener));
        }
        listeners_->list.clear();
    }
    Log::info("X11: lost the connection to the X server " + name_);
    for (auto& listener : toCall) {
        listener();
    }
}

}  // namespace quelm
