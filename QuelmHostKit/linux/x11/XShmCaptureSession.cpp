#include "QuelmHostKit/linux/x11/XShmCaptureSession.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <thread>

#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

namespace {

// Bytes between two reads of the pages of the image when warming it.
constexpr std::size_t kWarmStride = 4096;

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
    // The pages are made and mapped now, at start, in one call: faulted in one by one they would
    // double the first grab and the first conversion.
    if (madvise(attached, rounded, MADV_POPULATE_WRITE) != 0) {
        auto* bytes = static_cast<volatile char*>(attached);
        for (std::size_t at = 0; at < rounded; at += page) {
            bytes[at] = 0;
        }
    }
    return static_cast<char*>(attached);
}

}  // namespace

CaptureStatus XShmCaptureSession::open() {
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

bool XShmCaptureSession::refreshMonitor(CaptureStatus& why) {
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
    XRect bounds{static_cast<int>(std::lround(found->bounds.x)),
                 static_cast<int>(std::lround(found->bounds.y)),
                 static_cast<int>(std::lround(found->bounds.width)),
                 static_cast<int>(std::lround(found->bounds.height))};
    if (!(bounds == monitor_)) {
        monitor_ = bounds;
        monitorChanged_ = true;
    }
    return true;
}

void XShmCaptureSession::usePool(int width, int height) {
    width = std::max(width, 2);
    height = std::max(height, 2);
    if (!pool_ || pool_->width() != width || pool_->height() != height) {
        pool_ = PixelBufferPool::make(width, height, XShmCaptureStream::poolLimit,
                                      XShmCaptureStream::poolLimit);
    }
}

void XShmCaptureSession::warm(int width, int height) {
    usePool(width, height);
    if (!image_) {
        return;
    }
    // The first touch of each page costs the X server and us far more than a steady grab does
    // (at 1080p about 25 ms for the server's read and 15 ms for our conversion, against 1 and
    // 2): paid here, the picture dropped. The server fills the image while a helper makes a
    // buffer of the pool and reads the image's pages; the buffer goes back to the pool warm.
    PixelBufferRef buffer;
    std::thread ours([&] {
        try {
            buffer = pool_->acquire();
        } catch (const std::bad_alloc&) {
            return;
        }
        const auto* pixels = reinterpret_cast<const volatile std::uint8_t*>(image_->data);
        const std::size_t size = static_cast<std::size_t>(image_->bytes_per_line) *
                                 static_cast<std::size_t>(image_->height);
        std::uint8_t sum = 0;
        for (std::size_t at = 0; at < size; at += kWarmStride) {
            sum = static_cast<std::uint8_t>(sum + pixels[at]);
        }
        (void)sum;
    });
    const bool read = XShmGetImage(display_, root_, image_, monitor_.x, monitor_.y, AllPlanes);
    ours.join();
    if (read && buffer) {
        converter_.convert(BgraImage{reinterpret_cast<const std::uint8_t*>(image_->data),
                                     image_->width, image_->height, image_->bytes_per_line},
                           *buffer);
    }
}

void XShmCaptureSession::apply(const CaptureSettings& settings) {
    usePool(settings.width, settings.height);
    settings_ = settings;
    pacer_.setFps(settings.fps);
    forced_ = true;
    notice();
}

bool XShmCaptureSession::createImage() {
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

void XShmCaptureSession::destroyImage() {
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

void XShmCaptureSession::release() {
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

bool XShmCaptureSession::drainEvents() {
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

double XShmCaptureSession::nextWake(double now) const {
    double wake = pointerCheckedAt_ + XShmCaptureStream::pointerInterval;
    if (forced_ || missed_ || damaged_ || pointerChanged_ || cursorChanged_ || monitorChanged_) {
        wake = std::min(wake, pacer_.due());
    }
    return std::max(wake, now);
}

void XShmCaptureSession::tick(double now, const std::function<void(PixelBufferRef)>& deliver) {
    if (now < recheckUntil_) {
        CaptureStatus why;
        if (!refreshMonitor(why)) {
            return;
        }
    }
    if (now >= pointerCheckedAt_ + XShmCaptureStream::pointerInterval) {
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

bool XShmCaptureSession::damageInsideMonitor() {
    XDamageSubtract(display_, damage_, None, region_);
    int count = 0;
    XRectangle bounds;
    XRectangle* rects = XFixesFetchRegionAndBounds(display_, region_, &count, &bounds);
    bool inside = false;
    for (int i = 0; i < count && !inside; ++i) {
        inside =
            monitor_.intersects(XRect{rects[i].x, rects[i].y, rects[i].width, rects[i].height});
    }
    if (rects) {
        XFree(rects);
    }
    return inside;
}

void XShmCaptureSession::fetchCursor() {
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

void XShmCaptureSession::queryPointer() {
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
    const XRect cursorBox{x - cursor_.hotX, y - cursor_.hotY, std::max(cursor_.width, 1),
                          std::max(cursor_.height, 1)};
    // The first position has no old box: the sentinel must not take part in arithmetic.
    const bool hadPosition = pointerKnown();
    const XRect oldBox = hadPosition
                             ? XRect{pointerX_ - cursor_.hotX, pointerY_ - cursor_.hotY,
                                     std::max(cursor_.width, 1), std::max(cursor_.height, 1)}
                             : XRect{};
    pointerX_ = x;
    pointerY_ = y;
    cursorVisible_ = monitor_.intersects(cursorBox);
    // Moving off the monitor must erase the cursor too.
    pointerChanged_ = cursorVisible_ || (hadPosition && monitor_.intersects(oldBox));
    if (pointerChanged_) {
        notice();
    }
}

bool XShmCaptureSession::grab(const std::function<void(PixelBufferRef)>& deliver) {
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
        monitor_.intersects(XRect{pointerX_ - cursor_.hotX, pointerY_ - cursor_.hotY, cursor_.width,
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

}  // namespace quelm
