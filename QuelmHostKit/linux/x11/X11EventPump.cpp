#include "QuelmHostKit/linux/x11/X11EventPump.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

namespace {

X11EventPump::Extensions queryExtensions(Display* display) {
    X11EventPump::Extensions found;
    int eventBase = 0;
    int errorBase = 0;
    if (XRRQueryExtension(display, &eventBase, &errorBase) &&
        XRRQueryVersion(display, &found.randrMajor, &found.randrMinor)) {
        found.randr = eventBase;
    }
    if (XDamageQueryExtension(display, &eventBase, &errorBase)) {
        int major = 0;
        int minor = 0;
        // The server answers requests of an extension only after its version was agreed.
        if (XDamageQueryVersion(display, &major, &minor)) {
            found.damage = eventBase;
        }
    }
    if (XFixesQueryExtension(display, &eventBase, &errorBase)) {
        int minor = 0;
        found.xfixesMajor = 6;
        if (XFixesQueryVersion(display, &found.xfixesMajor, &minor)) {
            found.xfixes = eventBase;
        }
    }
    return found;
}

}  // namespace

std::shared_ptr<X11EventPump> X11EventPump::start(const std::string& displayName) {
    auto connection = X11Connection::open(displayName);
    if (!connection) {
        return nullptr;
    }
    const int wakeFD = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFD < 0) {
        Log::info(std::string("X11: no event pump, eventfd failed: ") + std::strerror(errno));
        return nullptr;
    }
    const Extensions extensions = queryExtensions(connection->display());
    // A handler or task on the pump thread may hold the last reference (a weak one it locked)
    // and release it there, while the loop still runs on the pump: the loop then ends and the
    // thread deletes the pump once it is out of it.
    auto pump = std::shared_ptr<X11EventPump>(
        new X11EventPump(std::move(connection), extensions, wakeFD), [](X11EventPump* pump) {
            if (pump->isCurrent()) {
                pump->releasedOnThread_ = true;
                pump->stopping_ = true;
                return;
            }
            delete pump;
        });
    std::lock_guard lock(pump->mutex_);
    pump->thread_ = std::thread([raw = pump.get()] {
        raw->run();
        if (raw->releasedOnThread_) {
            delete raw;
        }
    });
    pump->threadID_ = pump->thread_.get_id();
    return pump;
}

X11EventPump::X11EventPump(std::unique_ptr<X11Connection> connection, Extensions extensions,
                           int wakeFD)
    : connection_(std::move(connection)), extensions_(extensions), wakeFD_(wakeFD) {}

X11EventPump::~X11EventPump() {
    stop();
    close(wakeFD_);
}

void X11EventPump::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) {
        if (isCurrent()) {
            // The owner must release the pump off its thread; the loop ends on its own.
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

bool X11EventPump::isCurrent() const {
    return std::this_thread::get_id() == threadID_;
}

void X11EventPump::wake() {
    const std::uint64_t one = 1;
    // A full counter already wakes the loop; nothing to do on failure.
    [[maybe_unused]] const ssize_t written = write(wakeFD_, &one, sizeof one);
}

X11Registration X11EventPump::subscribe(int eventType, Handler handler) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = ++nextID_;
        handlers_[eventType].emplace_back(id, std::make_shared<Handler>(std::move(handler)));
    }
    return X11Registration([weak = weak_from_this(), eventType, id] {
        auto pump = weak.lock();
        if (!pump) {
            return;
        }
        {
            std::lock_guard lock(pump->mutex_);
            auto it = pump->handlers_.find(eventType);
            if (it != pump->handlers_.end()) {
                std::erase_if(it->second, [id](const auto& entry) { return entry.first == id; });
                if (it->second.empty()) {
                    pump->handlers_.erase(it);
                }
            }
        }
        pump->waitForIdle();
    });
}

void X11EventPump::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        tasks_.push_back(std::move(task));
    }
    wake();
}

X11Registration X11EventPump::every(double seconds, Task task) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = ++nextID_;
        timers_[id] = Timer{.interval = seconds,
                            .next = monotonicSeconds() + seconds,
                            .task = std::make_shared<Task>(std::move(task))};
    }
    wake();
    return X11Registration([weak = weak_from_this(), id] {
        if (auto pump = weak.lock()) {
            {
                std::lock_guard lock(pump->mutex_);
                pump->timers_.erase(id);
            }
            pump->waitForIdle();
        }
    });
}

X11Registration X11EventPump::onLost(std::function<void()> listener) {
    return connection_->onLost(std::move(listener));
}

void X11EventPump::waitForIdle() {
    if (!isCurrent()) {
        std::lock_guard wait(running_);
    }
}

void X11EventPump::run() {
    pthread_setname_np(pthread_self(), "quelmix.x11");
    {
        // start() publishes the thread's id under this lock.
        std::lock_guard lock(mutex_);
    }
    Display* display = connection_->display();
    while (!stopping_ && !connection_->isLost()) {
        runTasks();
        runTimers();
        // XPending also sends what tasks and handlers asked for.
        while (!stopping_ && !connection_->isLost() && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            dispatch(event);
        }
        if (stopping_ || connection_->isLost()) {
            break;
        }
        pollfd fds[2] = {{connection_->fd(), POLLIN, 0}, {wakeFD_, POLLIN, 0}};
        const int ready = poll(fds, 2, pollTimeoutMs());
        if (ready < 0 && errno != EINTR) {
            Log::info(std::string("X11: event pump poll failed: ") + std::strerror(errno));
            break;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = read(wakeFD_, &count, sizeof count);
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) && XPending(display) == 0) {
            // A hang-up with nothing to read: a round trip makes Xlib notice the loss.
            XSync(display, False);
        }
    }
    std::lock_guard lock(mutex_);
    tasks_.clear();
    timers_.clear();
    handlers_.clear();
}

void X11EventPump::dispatch(XEvent& event) {
    if (extensions_.randr && event.type == *extensions_.randr + RRScreenChangeNotify) {
        // Keeps Xlib's idea of the screen size current.
        XRRUpdateConfiguration(&event);
    }
    // Taken before the handlers are looked up, so a handler released elsewhere is either
    // waited for or not called.
    std::unique_lock running(running_);
    std::vector<std::shared_ptr<Handler>> toCall;
    {
        std::lock_guard lock(mutex_);
        const auto it = handlers_.find(event.type);
        if (it == handlers_.end()) {
            return;
        }
        for (const auto& entry : it->second) {
            toCall.push_back(entry.second);
        }
    }
    const bool cookie =
        event.type == GenericEvent && XGetEventData(connection_->display(), &event.xcookie);
    for (const auto& handler : toCall) {
        (*handler)(event, *connection_);
    }
    running.unlock();
    if (cookie) {
        XFreeEventData(connection_->display(), &event.xcookie);
    }
}

void X11EventPump::runTasks() {
    std::lock_guard running(running_);
    std::vector<Task> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(tasks_);
    }
    for (auto& task : tasks) {
        if (connection_->isLost()) {
            return;
        }
        task(*connection_);
    }
}

void X11EventPump::runTimers() {
    std::lock_guard running(running_);
    std::vector<std::shared_ptr<Task>> due;
    const double now = monotonicSeconds();
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, timer] : timers_) {
            if (timer.next <= now) {
                due.push_back(timer.task);
                timer.next += timer.interval;
                if (timer.next <= now) {
                    // Late ticks are not repeated to catch up.
                    timer.next = now + timer.interval;
                }
            }
        }
    }
    for (const auto& task : due) {
        if (connection_->isLost()) {
            return;
        }
        (*task)(*connection_);
    }
}

int X11EventPump::pollTimeoutMs() {
    std::lock_guard lock(mutex_);
    if (!tasks_.empty()) {
        return 0;
    }
    if (timers_.empty()) {
        return -1;
    }
    double next = timers_.begin()->second.next;
    for (const auto& [id, timer] : timers_) {
        next = std::min(next, timer.next);
    }
    const double wait = std::max(0.0, next - monotonicSeconds());
    return static_cast<int>(std::ceil(wait * 1000));
}

}  // namespace quelm
