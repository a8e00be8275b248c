#include "QuelmHostKit/linux/x11/XShmCaptureStream.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "QuelmHostKit/codecs/ScalingNv12Converter.hpp"
#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/streaming/FramePacer.hpp"
#include "QuelmHostKit/streaming/ScreenOverlay.hpp"

namespace quelm {

namespace {

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool contains(int px, int py) const {
        return px >= x && py >= y && px < x + width && py < y + height;
    }
    bool intersects(const Rect& other) const {
        return x < other.x + other.width && other.x < x + width && y < other.y + other.height &&
               other.y < y + height;
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// How long the monitor is looked up again after a RandR change.
constexpr double monitorRecheck = 1.0;

CaptureStatus temporary(std::string text) {
    return CaptureStatus::failure(CaptureStatus::Kind::temporary, std::move(text));
}

CaptureStatus permanent(std::string text) {
    return CaptureStatus::failure(CaptureStatus::Kind::permanent, std::move(text));
}

// Attaches the segment over a fresh anonymous reservation of its size rather than wherever the
// kernel picks. ThreadSanitizer learns of new memory only through mmap, and would otherwise take
// pixels at an address that once held a finished thread's stack for a race with that thread.
char* attachSegment(int id, std::size_t size) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t rounded = (size + page - 1) / page * page;
    void* reserved =
        mmap(nullptr, rounded, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        return nullptr;
    }
    void* attached = shmat(id, reserved, SHM_REMAP);
    if (attached == reinterpret_cast<void*>(-1)) {
        munmap(reserved, rounded);
        return nullptr;
    }
    return static_cast<char*>(attached);
}

}  // namespace

// Everything the capture thread owns on the X server; created, used and
// destroyed on it.
class XShmCaptureStream::Session {
  public:
    explicit Session(const Options& options) : options_(options) {}
    ~Session() { release(); }

    CaptureStatus open();
    // Finds the monitor again after a RandR change: false when it went away.
    bool refreshMonitor(CaptureStatus& why);
    // Follows new settings; forces the next picture.
    void apply(const CaptureSettings& settings);

    // Handles the X events that arrived; false when the server is lost.
    bool drainEvents();
    // Due time of the next look, given what happened; infinity for "wait for
    // events".
    double nextWake(double now) const;
    // Grabs and delivers a picture if one is due and wanted; looks at the pointer
    // when due.
    void tick(double now, const std::function<void(PixelBufferRef)>& deliver);

    bool lost() const { return connection_ && connection_->isLost(); }
    bool monitorGone() const { return monitorGone_; }
    int fd() const { return connection_->fd(); }
    bool eventsQueued() const {
        return !connection_->isLost() && XEventsQueued(display_, QueuedAlready) > 0;
    }

  private:
    bool createImage();
    void destroyImage();
    void release();
    bool damageInsideMonitor();
    void fetchCursor();
    void queryPointer();
    bool grab(const std::function<void(PixelBufferRef)>& deliver);
    void notice() {
        if (noticedAt_ == 0) {
            noticedAt_ = monotonicSeconds();
        }
    }

    const Options& options_;
    std::unique_ptr<X11Connection> connection_;
    Display* display_ = nullptr;
    Window root_ = 0;
    int damageEvent_ = 0;
    int fixesEvent_ = 0;
    int randrEvent_ = -1;
    Damage damage_ = 0;
    XserverRegion region_ = 0;
    XImage* image_ = nullptr;
    XShmSegmentInfo shm_{};
    bool attached_ = false;

    Rect monitor_;
    bool monitorGone_ = false;
    CaptureSettings settings_;
    std::shared_ptr<PixelBufferPool> pool_;
    ScalingNv12Converter converter_;

    CursorImage cursor_;
    bool cursorVisible_ = false;
    int pointerX_ = std::numeric_limits<int>::min();
    int pointerY_ = std::numeric_limits<int>::min();
    bool pointerKnown() const { return pointerX_ != std::numeric_limits<int>::min(); }
    double pointerCheckedAt_ = -1e9;

    // When the first change since the last picture was noticed; 0 for none yet.
    double noticedAt_ = 0;
    bool forced_ = true;
    // A picture was due but could not be taken (no free buffer, a failed read): try again at
    // the next turn.
    bool missed_ = false;
    bool damaged_ = true;
    bool pointerChanged_ = false;
    bool cursorChanged_ = false;
    bool monitorChanged_ = false;
    double recheckUntil_ = 0;
    FramePacer pacer_;
};

CaptureStatus XShmCaptureStream::Session::open() {
    connection_ = X11Connection::open(options_.displayName);
    if (!connection_) {
        return temporary("cannot open the X display " + options_.displayName);
    }
    display_ = connection_->display();
    root_ = DefaultRootWindow(display_);

    int major = 0, minor = 0, errorBase = 0;
    Bool pixmaps = False;
    if (!XShmQueryExtension(display_) || !XShmQueryVersion(display_, &major, &minor, &pixmaps)) {
        return permanent("the X server has no MIT-SHM");
    }
    if (!XDamageQueryExtension(display_, &damageEvent_, &errorBase)) {
        return permanent("the X server has no DAMAGE");
    }
    if (!XFixesQueryExtension(display_, &fixesEvent_, &errorBase)) {
        return permanent("the X server has no XFIXES");
    }
    int rrError = 0;
    if (!XRRQueryExtension(display_, &randrEvent_, &rrError)) {
        randrEvent_ = -1;
    }

    CaptureStatus why;
    if (!refreshMonitor(why)) {
        return why;
    }
    X11ErrorTrap trap(*connection_);
    damage_ = XDamageCreate(display_, root_, XDamageReportNonEmpty);
    region_ = XFixesCreateRegion(display_, nullptr, 0);
    XFixesSelectCursorInput(display_, root_, XFixesDisplayCursorNotifyMask);
    if (randrEvent_ >= 0) {
        XRRSelectInput(
            display_, root_,
            RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    if (auto status = trap.leave(); !status) {
        return status.lost ? temporary("X server lost")
                           : permanent("capture set-up failed: " + status.describe());
    }
    if (!createImage()) {
        return connection_->isLost() ? temporary("X server lost")
                                     : permanent("no shared-memory image of the screen");
    }
    fetchCursor();
    return CaptureStatus::success();
}

bool XShmCaptureStream::Session::refreshMonitor(CaptureStatus& why) {
    const auto displays =
        options_.displays ? options_.displays->activeDisplays() : std::vector<ActiveDisplay>{};
    auto found = std::find_if(displays.begin(), displays.end(), [this](const ActiveDisplay& d) {
        return d.id == options_.displayId;
    });
    if (found == displays.end() || found->bounds.width < 1 || found->bounds.height < 1) {
        monitorGone_ = true;
        why = permanent("display " + std::to_string(options_.displayId) + " is not attached");
        return false;
    }
    Rect bounds{static_cast<int>(std::lround(found->bounds.x)),
                static_cast<int>(std::lround(found->bounds.y)),
                static_cast<int>(std::lround(found->bounds.width)),
                static_cast<int>(std::lround(found->bounds.height))};
    if (!(bounds == monitor_)) {
        monitor_ = bounds;
        monitorChanged_ = true;
    }
    return true;
}

void XShmCaptureStream::Session::apply(const CaptureSettings& settings) {
    if (!pool_ || pool_->width() != settings.width || pool_->height() != settings.height) {
        pool_ = PixelBufferPool::make(std::max(settings.width, 2), std::max(settings.height, 2),
                                      poolLimit, poolLimit);
    }
    settings_ = settings;
    pacer_.setFps(settings.fps);
    forced_ = true;
    notice();
}

bool XShmCaptureStream::Session::createImage() {
    destroyImage();
    image_ = XShmCreateImage(display_, DefaultVisual(display_, DefaultScreen(display_)),
                             static_cast<unsigned>(DefaultDepth(display_, DefaultScreen(display_))),
                             ZPixmap, nullptr, &shm_, static_cast<unsigned>(monitor_.width),
                             static_cast<unsigned>(monitor_.height));
    if (!image_) {
        return false;
    }
    if (image_->bits_per_pixel != 32) {
        Log::info("screen capture: unsupported pixel size " +
                  std::to_string(image_->bits_per_pixel));
        destroyImage();
        return false;
    }
    const std::size_t bytes =
        static_cast<std::size_t>(image_->bytes_per_line) * static_cast<std::size_t>(image_->height);
    shm_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shm_.shmid < 0) {
        destroyImage();
        return false;
    }
    shm_.shmaddr = attachSegment(shm_.shmid, bytes);
    if (shm_.shmaddr == nullptr) {
        Log::info("screen capture: cannot map the shared image");
        shmctl(shm_.shmid, IPC_RMID, nullptr);
        destroyImage();
        return false;
    }
    image_->data = shm_.shmaddr;
    shm_.readOnly = False;
    X11ErrorTrap trap(*connection_);
    XShmAttach(display_, &shm_);
    const bool ok = static_cast<bool>(trap.leave());
    // Marked for removal at once: the segment goes away with the last detach,
    // even if we crash.
    shmctl(shm_.shmid, IPC_RMID, nullptr);
    attached_ = ok;
    if (!ok) {
        destroyImage();
        return false;
    }
    monitorChanged_ = false;
    return true;
}

void XShmCaptureStream::Session::destroyImage() {
    if (!image_) {
        return;
    }
    if (attached_ && !connection_->isLost()) {
        XShmDetach(display_, &shm_);
        XSync(display_, False);
    }
    attached_ = false;
    if (shm_.shmaddr && shm_.shmaddr != reinterpret_cast<char*>(-1)) {
        shmdt(shm_.shmaddr);
    }
    shm_ = {};
    image_->data = nullptr;
    XDestroyImage(image_);
    image_ = nullptr;
}

void XShmCaptureStream::Session::release() {
    if (!connection_) {
        return;
    }
    destroyImage();
    if (!connection_->isLost()) {
        if (damage_) {
            XDamageDestroy(display_, damage_);
        }
        if (region_) {
            XFixesDestroyRegion(display_, region_);
        }
        XSync(display_, False);
    }
    connection_.reset();
}

bool XShmCaptureStream::Session::drainEvents() {
    while (!connection_->isLost() && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == damageEvent_ + XDamageNotify) {
            damaged_ = true;
            notice();
        } else if (event.type == fixesEvent_ + XFixesCursorNotify) {
            cursorChanged_ = true;
        } else if (randrEvent_ >= 0 && (event.type == randrEvent_ + RRScreenChangeNotify ||
                                        event.type == randrEvent_ + RRNotify)) {
            XRRUpdateConfiguration(&event);
            // The display list follows the same events on another connection: look again for
            // a while rather than trust its answer right now.
            recheckUntil_ = monotonicSeconds() + monitorRecheck;
        }
    }
    return !connection_->isLost();
}

double XShmCaptureStream::Session::nextWake(double now) const {
    double wake = pointerCheckedAt_ + pointerInterval;
    if (forced_ || missed_ || damaged_ || pointerChanged_ || cursorChanged_ || monitorChanged_) {
        wake = std::min(wake, pacer_.due());
    }
    return std::max(wake, now);
}

void XShmCaptureStream::Session::tick(double now,
                                      const std::function<void(PixelBufferRef)>& deliver) {
    if (now < recheckUntil_) {
        CaptureStatus why;
        if (!refreshMonitor(why)) {
            return;
        }
    }
    if (now >= pointerCheckedAt_ + pointerInterval) {
        pointerCheckedAt_ = now;
        queryPointer();
    }
    if (now < pacer_.due()) {
        return;
    }
    if (monitorChanged_ && !createImage()) {
        return;
    }
    bool wanted = forced_ || missed_;
    if (cursorChanged_) {
        fetchCursor();
        cursorChanged_ = false;
    }
    if (pointerChanged_) {
        // Set only when the pointer's picture changed over this monitor, or left it.
        pointerChanged_ = false;
        wanted = true;
    }
    if (damaged_) {
        damaged_ = false;
        wanted = damageInsideMonitor() || wanted;
    }
    if (!wanted) {
        // Changes elsewhere on the screen: nothing waits for a picture.
        noticedAt_ = 0;
        return;
    }
    missed_ = !grab(deliver);
    if (!missed_) {
        forced_ = false;
    }
    // A miss spends its turn too, so that retries come no faster than pictures.
    pacer_.took(now);
}

bool XShmCaptureStream::Session::damageInsideMonitor() {
    XDamageSubtract(display_, damage_, None, region_);
    int count = 0;
    XRectangle bounds;
    XRectangle* rects = XFixesFetchRegionAndBounds(display_, region_, &count, &bounds);
    bool inside = false;
    for (int i = 0; i < count && !inside; ++i) {
        inside = monitor_.intersects(Rect{rects[i].x, rects[i].y, rects[i].width, rects[i].height});
    }
    if (rects) {
        XFree(rects);
    }
    return inside;
}

void XShmCaptureStream::Session::fetchCursor() {
    XFixesCursorImage* image = XFixesGetCursorImage(display_);
    if (!image) {
        cursor_ = {};
        return;
    }
    cursor_.width = image->width;
    cursor_.height = image->height;
    cursor_.hotX = image->xhot;
    cursor_.hotY = image->yhot;
    cursor_.argb.resize(static_cast<std::size_t>(image->width) * image->height);
    for (std::size_t i = 0; i < cursor_.argb.size(); ++i) {
        // XFixes hands out 32-bit pixels in longs.
        cursor_.argb[i] = static_cast<std::uint32_t>(image->pixels[i]);
    }
    XFree(image);
    // A new cursor shape over the monitor is a change of the picture.
    if (cursorVisible_) {
        pointerChanged_ = true;
        notice();
    }
}

void XShmCaptureStream::Session::queryPointer() {
    Window rootReturn = 0, child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(display_, root_, &rootReturn, &child, &x, &y, &windowX, &windowY, &mask)) {
        return;
    }
    if (options_.onPointer) {
        options_.onPointer(PointerPosition{double(x), double(y)});
    }
    if (x == pointerX_ && y == pointerY_) {
        return;
    }
    const Rect cursorBox{x - cursor_.hotX, y - cursor_.hotY, std::max(cursor_.width, 1),
                         std::max(cursor_.height, 1)};
    // The first position has no old box: the sentinel must not take part in arithmetic.
    const bool hadPosition = pointerKnown();
    const Rect oldBox = hadPosition ? Rect{pointerX_ - cursor_.hotX, pointerY_ - cursor_.hotY,
                                           std::max(cursor_.width, 1), std::max(cursor_.height, 1)}
                                    : Rect{};
    pointerX_ = x;
    pointerY_ = y;
    cursorVisible_ = monitor_.intersects(cursorBox);
    // Moving off the monitor must erase the cursor too.
    pointerChanged_ = cursorVisible_ || (hadPosition && monitor_.intersects(oldBox));
    if (pointerChanged_) {
        notice();
    }
}

bool XShmCaptureStream::Session::grab(const std::function<void(PixelBufferRef)>& deliver) {
    if (!image_ || !pool_) {
        return false;
    }
    // Taken before the screen is read: without a free buffer there is nothing to read for.
    PixelBufferRef buffer = pool_->acquire();
    if (!buffer) {
        return false;
    }
    FrameTimes times;
    times.grabStarted = monotonicSeconds();
    if (!XShmGetImage(display_, root_, image_, monitor_.x, monitor_.y, AllPlanes)) {
        return false;
    }
    WritableBgraImage picture{reinterpret_cast<std::uint8_t*>(image_->data), image_->width,
                              image_->height, image_->bytes_per_line};
    if (pointerKnown() &&
        monitor_.intersects(Rect{pointerX_ - cursor_.hotX, pointerY_ - cursor_.hotY, cursor_.width,
                                 cursor_.height})) {
        ScreenOverlay::drawCursor(picture, cursor_, pointerX_ - monitor_.x, pointerY_ - monitor_.y);
    }
    if (options_.neverCapture) {
        for (const auto& rect : options_.neverCapture->rectangles()) {
            // Outward rounding: a fraction of a secret pixel is still too much.
            const int left = static_cast<int>(std::floor(rect.x)) - monitor_.x;
            const int top = static_cast<int>(std::floor(rect.y)) - monitor_.y;
            const int right = static_cast<int>(std::ceil(rect.x + rect.width)) - monitor_.x;
            const int bottom = static_cast<int>(std::ceil(rect.y + rect.height)) - monitor_.y;
            ScreenOverlay::blackOut(picture, left, top, right - left, bottom - top);
        }
    }
    times.grabbed = monotonicSeconds();
    BgraImage source{picture.pixels, picture.width, picture.height, picture.stride};
    if (!converter_.convert(source, *buffer)) {
        return false;
    }
    times.converted = monotonicSeconds();
    times.changed = noticedAt_ > 0 ? noticedAt_ : times.grabStarted;
    buffer->setTimes(times);
    noticedAt_ = 0;
    deliver(std::move(buffer));
    return true;
}

XShmCaptureStream::XShmCaptureStream(Options options, CaptureSettings settings, Receivers receivers)
    : options_(std::move(options)), receivers_(std::move(receivers)), settings_(settings) {
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
    auto session = std::make_unique<Session>(options_);
    CaptureSettings settings;
    {
        std::lock_guard lock(mutex_);
        settings = settings_;
    }
    auto opened = session->open();
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
