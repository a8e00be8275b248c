#include "QuelmHostKit/linux/x11/XShmCaptureStream.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "QuelmHostKit/linux/x11/XShmCaptureSession.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

namespace {

CaptureStatus temporary(std::string text) {
    return CaptureStatus::failure(CaptureStatus::Kind::temporary, std::move(text));
}

CaptureStatus permanent(std::string text) {
    return CaptureStatus::failure(CaptureStatus::Kind::permanent, std::move(text));
}

}  // namespace

std::shared_ptr<XShmCaptureSession> XShmCaptureStream::prepare(Options options, int width,
                                                               int height) {
    auto session = std::make_shared<XShmCaptureSession>(std::move(options));
    if (const auto opened = session->open(); !opened.ok()) {
        Log::info("screen capture not prepared: " + opened.description);
        return nullptr;
    }
    session->warm(width, height);
    return session;
}

XShmCaptureStream::XShmCaptureStream(Options options, CaptureSettings settings, Receivers receivers,
                                     std::shared_ptr<XShmCaptureSession> prepared)
    : options_(std::move(options)),
      receivers_(std::move(receivers)),
      prepared_(std::move(prepared)),
      settings_(settings) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

XShmCaptureStream::~XShmCaptureStream() {
    stop();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

CaptureStatus XShmCaptureStream::start() {
    std::unique_lock lock(mutex_);
    if (running_ || thread_.joinable()) {
        return permanent("capture stream started twice");
    }
    if (wakeFd_ < 0) {
        return temporary("no event descriptor for the capture thread");
    }
    running_ = true;
    const auto request = ++requests_;
    thread_ = std::thread([this] { run(); });
    answered_.wait(lock, [&] { return answers_ >= request; });
    return lastAnswer_;
}

CaptureStatus XShmCaptureStream::update(const CaptureSettings& settings) {
    std::unique_lock lock(mutex_);
    if (!running_) {
        return temporary("the capture stream is not running");
    }
    pending_ = settings;
    const auto request = ++requests_;
    lock.unlock();
    wake();
    lock.lock();
    answered_.wait(lock, [&] { return answers_ >= request || !running_; });
    return answers_ >= request ? lastAnswer_ : temporary("the capture stream ended");
}

void XShmCaptureStream::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void XShmCaptureStream::wake() {
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
    }
}

void XShmCaptureStream::answer(CaptureStatus status) {
    {
        std::lock_guard lock(mutex_);
        answers_ = requests_;
        lastAnswer_ = std::move(status);
    }
    answered_.notify_all();
}

void XShmCaptureStream::run() {
    pthread_setname_np(pthread_self(), "quelmix.capture");
    // A prepared capture is taken over while its server and monitor are still there; the
    // monitor's place is looked up again, since it may have moved meanwhile.
    std::shared_ptr<XShmCaptureSession> session = std::move(prepared_);
    CaptureStatus opened;
    if (session && (session->displayId() != options_.displayId || session->lost() ||
                    !session->refreshMonitor(opened))) {
        session.reset();
    }
    CaptureSettings settings;
    {
        std::lock_guard lock(mutex_);
        settings = settings_;
    }
    if (!session) {
        session = std::make_shared<XShmCaptureSession>(options_);
        opened = session->open();
    } else {
        opened = CaptureStatus::success();
    }
    if (!opened.ok()) {
        session.reset();
        {
            std::lock_guard lock(mutex_);
            running_ = false;
        }
        answer(std::move(opened));
        return;
    }
    session->apply(settings);
    answer(CaptureStatus::success());

    std::optional<CaptureStatus> ended;
    const auto deliver = [this](PixelBufferRef buffer) {
        if (receivers_.onPicture && !stopping_) {
            receivers_.onPicture(std::move(buffer));
        }
    };
    while (!stopping_) {
        std::optional<CaptureSettings> next;
        {
            std::lock_guard lock(mutex_);
            next.swap(pending_);
        }
        if (next) {
            session->apply(*next);
            answer(CaptureStatus::success());
        }
        if (!session->drainEvents()) {
            ended = temporary("X server lost");
            break;
        }
        if (session->monitorGone()) {
            ended = permanent("display " + std::to_string(options_.displayId) + " went away");
            break;
        }
        double now = monotonicSeconds();
        session->tick(now, deliver);
        if (session->lost()) {
            ended = temporary("X server lost");
            break;
        }
        now = monotonicSeconds();
        const double wait = session->nextWake(now) - now;
        pollfd fds[2] = {{session->fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        // Replies read during the tick may have brought events along; they are not
        // on the socket. The timeout is not rounded to milliseconds: a picture's turn is a
        // point in time, and waking late delays it.
        const double seconds = session->eventsQueued() ? 0.0 : std::clamp(wait, 0.0, 1.0);
        const auto whole = static_cast<time_t>(seconds);
        const timespec timeout{whole,
                               static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
        const int ready = ppoll(fds, 2, &timeout, nullptr);
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto got = read(wakeFd_, &count, sizeof count);
        }
        if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR))) {
            // The server closed the socket; the next Xlib call notices and marks it
            // lost.
            session->drainEvents();
        }
    }
    session.reset();
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    answered_.notify_all();
    if (ended && !stopping_ && receivers_.onStop) {
        receivers_.onStop(*ended);
    }
}

}  // namespace quelm
