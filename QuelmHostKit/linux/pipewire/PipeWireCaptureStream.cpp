#include "QuelmHostKit/linux/pipewire/PipeWireCaptureStream.hpp"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "QuelmHostKit/codecs/ScalingNv12Converter.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/streaming/FramePacer.hpp"
#include "QuelmHostKit/streaming/ScreenOverlay.hpp"

namespace quelm {

namespace {

// The largest pointer picture the compositor may hand over.
constexpr int kCursorSide = 384;
constexpr int cursorMetaSize(int side) {
    return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}

CaptureStatus temporary(std::string text) {
    return CaptureStatus::failure(CaptureStatus::Kind::temporary, std::move(text));
}

void initialisePipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

timespec afterSeconds(double seconds) {
    const auto nanos = static_cast<std::int64_t>(seconds * 1e9);
    return timespec{static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
}

}  // namespace

// Everything on the PipeWire loop: created by start(), torn down by stop(). Members marked
// "loop" are touched only with the thread loop's lock held (its callbacks hold it).
class PipeWireCaptureStream::Loop {
  public:
    Loop(const Options& options, const Receivers& receivers, CaptureSettings settings)
        : options_(options), receivers_(receivers), settings_(settings) {
        pacer_.setFps(settings.fps);
    }
    ~Loop() { stop(); }

    CaptureStatus start();
    CaptureStatus update(const CaptureSettings& settings);
    void stop();

  private:
    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                               const char* error);
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onProcess(void* data);
    static void onCoreError(void* data, std::uint32_t id, int, int result, const char* message);
    static void onTimer(void* data, std::uint64_t);
    static void onGlobalRemove(void* data, std::uint32_t id);

    void takeCursor(spa_buffer* buffer);
    bool takePicture(spa_buffer* buffer);
    void render(bool timerFired);
    void arm(double seconds);
    void end(CaptureStatus why);

    const Options& options_;
    const Receivers& receivers_;

    pw_thread_loop* threadLoop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_source* timer_ = nullptr;
    spa_hook registryListener_{};
    pw_registry_events registryEvents_{};
    spa_hook streamListener_{};
    spa_hook coreListener_{};
    pw_stream_events streamEvents_{};
    pw_core_events coreEvents_{};

    // loop
    CaptureSettings settings_;
    bool negotiated_ = false;
    bool failed_ = false;
    bool stopping_ = false;
    bool ended_ = false;
    std::string failure_;
    spa_video_info_raw format_{};
    std::vector<std::uint8_t> frame_;
    std::vector<std::uint8_t> composed_;
    int width_ = 0;
    int height_ = 0;
    bool haveFrame_ = false;
    bool dirty_ = false;
    bool forced_ = true;
    bool secretShown_ = false;
    double noticedAt_ = 0;
    FramePacer pacer_;
    CursorImage cursor_;
    std::optional<PointerPosition> pointer_;
    std::shared_ptr<PixelBufferPool> pool_;
    ScalingNv12Converter converter_;
};

CaptureStatus PipeWireCaptureStream::Loop::start() {
    initialisePipeWire();
    threadLoop_ = pw_thread_loop_new("quelmix.capture", nullptr);
    if (!threadLoop_) {
        return temporary("no PipeWire loop");
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(threadLoop_), nullptr, 0);
    if (!context_ || pw_thread_loop_start(threadLoop_) < 0) {
        return temporary("no PipeWire context");
    }
    pw_thread_loop_lock(threadLoop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        pw_thread_loop_unlock(threadLoop_);
        return temporary(std::string("cannot reach PipeWire: ") + std::strerror(errno));
    }
    coreEvents_.version = PW_VERSION_CORE_EVENTS;
    coreEvents_.error = onCoreError;
    pw_core_add_listener(core_, &coreListener_, &coreEvents_, this);
    // The stream may wait for a new target when its node goes: the node's removal ends it.
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents_.global_remove = onGlobalRemove;
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents_, this);

    stream_ = pw_stream_new(core_, "quelmix-screen",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    streamEvents_.version = PW_VERSION_STREAM_EVENTS;
    streamEvents_.state_changed = onStateChanged;
    streamEvents_.param_changed = onParamChanged;
    streamEvents_.process = onProcess;
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents_, this);

    std::uint8_t podBuffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
    spa_rectangle size{1920, 1080};
    spa_rectangle minSize{1, 1};
    spa_rectangle maxSize{16384, 16384};
    spa_fraction anyRate{0, 1};
    spa_fraction maxRate{static_cast<std::uint32_t>(std::clamp(settings_.fps, 1, 240)), 1};
    spa_fraction minRate{1, 1};
    spa_fraction topRate{240, 1};
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&anyRate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &topRate)));
    const int connected = pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, options_.nodeId,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    if (connected < 0) {
        pw_thread_loop_unlock(threadLoop_);
        return temporary(std::string("cannot connect to the screen cast: ") +
                         spa_strerror(connected));
    }
    timer_ = pw_loop_add_timer(pw_thread_loop_get_loop(threadLoop_), onTimer, this);
    arm(secretCheckInterval);

    timespec deadline{};
    pw_thread_loop_get_time(threadLoop_, &deadline,
                            static_cast<std::int64_t>(startTimeout * SPA_NSEC_PER_SEC));
    while (!negotiated_ && !failed_) {
        if (pw_thread_loop_timed_wait_full(threadLoop_, &deadline) != 0) {
            failed_ = true;
            failure_ = "the screen cast did not start in time";
        }
    }
    const bool ok = negotiated_ && !failed_;
    const std::string why = failure_;
    pw_thread_loop_unlock(threadLoop_);
    return ok ? CaptureStatus::success() : temporary(why);
}

CaptureStatus PipeWireCaptureStream::Loop::update(const CaptureSettings& settings) {
    if (!threadLoop_) {
        return temporary("the capture stream is not running");
    }
    pw_thread_loop_lock(threadLoop_);
    const bool running = !ended_;
    settings_ = settings;
    pacer_.setFps(settings.fps);
    forced_ = true;
    arm(0);
    pw_thread_loop_unlock(threadLoop_);
    return running ? CaptureStatus::success() : temporary("the capture stream ended");
}

void PipeWireCaptureStream::Loop::stop() {
    if (!threadLoop_) {
        return;
    }
    if (pw_thread_loop_in_thread(threadLoop_)) {
        // From a receiver: the owner's stop() tears down later.
        stopping_ = true;
        return;
    }
    pw_thread_loop_lock(threadLoop_);
    stopping_ = true;
    if (timer_) {
        pw_loop_destroy_source(pw_thread_loop_get_loop(threadLoop_), timer_);
        timer_ = nullptr;
    }
    if (stream_) {
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    if (registry_) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
    }
    if (core_) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    pw_thread_loop_unlock(threadLoop_);
    pw_thread_loop_stop(threadLoop_);
    if (context_) {
        pw_context_destroy(context_);
        context_ = nullptr;
    }
    pw_thread_loop_destroy(threadLoop_);
    threadLoop_ = nullptr;
}

void PipeWireCaptureStream::Loop::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                                 const char* error) {
    auto* self = static_cast<Loop*>(data);
    switch (state) {
        case PW_STREAM_STATE_PAUSED:
        case PW_STREAM_STATE_STREAMING:
            break;
        case PW_STREAM_STATE_ERROR:
        case PW_STREAM_STATE_UNCONNECTED:
            if (!self->negotiated_) {
                self->failed_ = true;
                self->failure_ = std::string("the screen cast failed: ") + (error ? error : "gone");
            } else {
                self->end(
                    temporary(std::string("the screen cast ended: ") + (error ? error : "gone")));
            }
            break;
        default:
            return;
    }
    pw_thread_loop_signal(self->threadLoop_, false);
}

void PipeWireCaptureStream::Loop::onParamChanged(void* data, std::uint32_t id,
                                                 const spa_pod* param) {
    auto* self = static_cast<Loop*>(data);
    if (param == nullptr || id != SPA_PARAM_Format) {
        return;
    }
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &self->format_) < 0) {
        return;
    }
    self->width_ = static_cast<int>(self->format_.size.width);
    self->height_ = static_cast<int>(self->format_.size.height);
    self->frame_.assign(static_cast<std::size_t>(self->width_) * self->height_ * 4, 0);
    self->composed_.resize(self->frame_.size());
    self->haveFrame_ = false;

    std::uint8_t podBuffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
    const spa_pod* params[3];
    // Shared memory only: no GPU here to import DMA-BUFs with.
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1),
                                 cursorMetaSize(kCursorSide))));
    pw_stream_update_params(self->stream_, params, 3);
    self->negotiated_ = true;
    pw_thread_loop_signal(self->threadLoop_, false);
}

void PipeWireCaptureStream::Loop::onProcess(void* data) {
    auto* self = static_cast<Loop*>(data);
    pw_buffer* latest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_)) {
        self->takeCursor(buffer->buffer);
        const spa_data& plane = buffer->buffer->datas[0];
        auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)));
        const bool corrupted = header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED);
        // Buffers that carry only a pointer update have no picture.
        if (plane.data != nullptr && plane.chunk->size > 0 && !corrupted) {
            if (latest) {
                pw_stream_queue_buffer(self->stream_, latest);
            }
            latest = buffer;
        } else {
            pw_stream_queue_buffer(self->stream_, buffer);
        }
    }
    if (latest) {
        if (self->takePicture(latest->buffer)) {
            if (self->noticedAt_ == 0) {
                self->noticedAt_ = monotonicSeconds();
            }
            self->dirty_ = true;
        }
        pw_stream_queue_buffer(self->stream_, latest);
    }
    self->render(false);
}

void PipeWireCaptureStream::Loop::onCoreError(void* data, std::uint32_t id, int, int result,
                                              const char* message) {
    auto* self = static_cast<Loop*>(data);
    if (id == PW_ID_CORE && result == -EPIPE) {
        self->failed_ = true;
        self->failure_ = "PipeWire went away";
        self->end(temporary("PipeWire went away"));
        pw_thread_loop_signal(self->threadLoop_, false);
    }
}

void PipeWireCaptureStream::Loop::onGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<Loop*>(data);
    if (id == self->options_.nodeId) {
        self->failed_ = true;
        self->failure_ = "the screen cast's node went away";
        self->end(temporary("the screen cast's node went away"));
        pw_thread_loop_signal(self->threadLoop_, false);
    }
}

void PipeWireCaptureStream::Loop::onTimer(void* data, std::uint64_t) {
    static_cast<Loop*>(data)->render(true);
}

void PipeWireCaptureStream::Loop::takeCursor(spa_buffer* buffer) {
    auto* cursor = static_cast<spa_meta_cursor*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
    if (!cursor) {
        return;
    }
    std::optional<PointerPosition> pointer;
    if (spa_meta_cursor_is_valid(cursor)) {
        pointer = PointerPosition{static_cast<double>(cursor->position.x),
                                  static_cast<double>(cursor->position.y)};
        if (cursor->bitmap_offset >= sizeof(spa_meta_cursor)) {
            auto* bitmap = SPA_PTROFF(cursor, cursor->bitmap_offset, spa_meta_bitmap);
            const int width = static_cast<int>(bitmap->size.width);
            const int height = static_cast<int>(bitmap->size.height);
            const bool rgba = bitmap->format == SPA_VIDEO_FORMAT_RGBA;
            const bool bgra = bitmap->format == SPA_VIDEO_FORMAT_BGRA;
            if (width > 0 && height > 0 && width <= kCursorSide && height <= kCursorSide &&
                (rgba || bgra)) {
                const auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, const std::uint8_t);
                cursor_.width = width;
                cursor_.height = height;
                cursor_.hotX = cursor->hotspot.x;
                cursor_.hotY = cursor->hotspot.y;
                cursor_.argb.resize(static_cast<std::size_t>(width) * height);
                for (int y = 0; y < height; ++y) {
                    const std::uint8_t* row =
                        pixels + static_cast<std::ptrdiff_t>(y) * bitmap->stride;
                    for (int x = 0; x < width; ++x) {
                        const std::uint8_t* p = row + x * 4;
                        const std::uint32_t r = rgba ? p[0] : p[2];
                        const std::uint32_t b = rgba ? p[2] : p[0];
                        cursor_.argb[static_cast<std::size_t>(y) * width + x] =
                            std::uint32_t(p[3]) << 24 | r << 16 | std::uint32_t(p[1]) << 8 | b;
                    }
                }
                dirty_ = true;
            } else if (width == 0 || height == 0) {
                // An empty picture: the pointer is hidden.
                cursor_ = {};
                dirty_ = true;
            }
        }
    }
    if (pointer != pointer_) {
        pointer_ = pointer;
        dirty_ = true;
        if (options_.onPointer) {
            options_.onPointer(
                pointer ? std::optional<PointerPosition>(PointerPosition{
                              pointer->x + options_.originX, pointer->y + options_.originY})
                        : std::nullopt);
        }
    }
    if (dirty_ && noticedAt_ == 0) {
        noticedAt_ = monotonicSeconds();
    }
}

bool PipeWireCaptureStream::Loop::takePicture(spa_buffer* buffer) {
    const spa_data& plane = buffer->datas[0];
    const int stride = plane.chunk->stride;
    if (width_ <= 0 || height_ <= 0 || stride < width_ * 4) {
        return false;
    }
    const std::size_t offset = plane.chunk->offset % std::max<std::uint32_t>(plane.maxsize, 1);
    if (offset + static_cast<std::size_t>(stride) * (height_ - 1) + width_ * 4 > plane.maxsize) {
        return false;
    }
    const auto* source = static_cast<const std::uint8_t*>(plane.data) + offset;
    const std::size_t row = static_cast<std::size_t>(width_) * 4;
    for (int y = 0; y < height_; ++y) {
        std::memcpy(frame_.data() + y * row, source + static_cast<std::ptrdiff_t>(y) * stride, row);
    }
    haveFrame_ = true;
    return true;
}

void PipeWireCaptureStream::Loop::render(bool timerFired) {
    if (stopping_ || ended_) {
        return;
    }
    const bool secret = options_.neverCapture && !options_.neverCapture->rectangles().empty();
    if (secret != secretShown_) {
        secretShown_ = secret;
        dirty_ = true;
    }
    const double now = monotonicSeconds();
    if (!haveFrame_ || (!dirty_ && !forced_)) {
        if (timerFired) {
            arm(secretCheckInterval);
        }
        return;
    }
    if (!forced_ && now < pacer_.due()) {
        arm(pacer_.due() - now);
        return;
    }
    if (!pool_ || pool_->width() != std::max(settings_.width, 2) ||
        pool_->height() != std::max(settings_.height, 2)) {
        pool_ = PixelBufferPool::make(std::max(settings_.width, 2), std::max(settings_.height, 2),
                                      poolSize, poolSize);
    }
    PixelBufferRef buffer = pool_->acquire();
    if (!buffer) {
        // Every picture is still with the encoder: the change waits for the next turn, when
        // one may have come back, instead of taking more memory.
        pacer_.took(now);
        arm(pacer_.due() - now);
        return;
    }
    const int stride = width_ * 4;
    FrameTimes times;
    times.grabStarted = monotonicSeconds();
    if (secret) {
        std::fill(composed_.begin(), composed_.end(), std::uint8_t(0));
    } else {
        std::memcpy(composed_.data(), frame_.data(), frame_.size());
        if (pointer_ && !cursor_.argb.empty()) {
            ScreenOverlay::drawCursor(WritableBgraImage{composed_.data(), width_, height_, stride},
                                      cursor_, static_cast<int>(pointer_->x),
                                      static_cast<int>(pointer_->y));
        }
    }
    times.grabbed = monotonicSeconds();
    if (!converter_.convert(BgraImage{composed_.data(), width_, height_, stride}, *buffer)) {
        return;
    }
    times.converted = monotonicSeconds();
    times.changed = noticedAt_ > 0 ? noticedAt_ : times.grabStarted;
    buffer->setTimes(times);
    noticedAt_ = 0;
    dirty_ = false;
    forced_ = false;
    pacer_.took(now);
    if (receivers_.onPicture) {
        receivers_.onPicture(std::move(buffer));
    }
    arm(secretCheckInterval);
}

void PipeWireCaptureStream::Loop::arm(double seconds) {
    if (!timer_) {
        return;
    }
    // Zero would disarm the timer: a nanosecond is "now".
    timespec value = afterSeconds(std::max(seconds, 1e-9));
    timespec none{};
    pw_loop_update_timer(pw_thread_loop_get_loop(threadLoop_), timer_, &value, &none, false);
}

void PipeWireCaptureStream::Loop::end(CaptureStatus why) {
    if (ended_ || stopping_) {
        return;
    }
    ended_ = true;
    Log::info("screen capture stopped: " + why.description);
    if (receivers_.onStop) {
        receivers_.onStop(std::move(why));
    }
}

PipeWireCaptureStream::PipeWireCaptureStream(Options options, CaptureSettings settings,
                                             Receivers receivers)
    : options_(std::move(options)), receivers_(std::move(receivers)), settings_(settings) {}

PipeWireCaptureStream::~PipeWireCaptureStream() {
    stop();
}

CaptureStatus PipeWireCaptureStream::start() {
    if (loop_) {
        return CaptureStatus::failure(CaptureStatus::Kind::permanent,
                                      "capture stream started twice");
    }
    loop_ = std::make_unique<Loop>(options_, receivers_, settings_);
    auto status = loop_->start();
    if (!status.ok()) {
        loop_.reset();
    }
    return status;
}

CaptureStatus PipeWireCaptureStream::update(const CaptureSettings& settings) {
    settings_ = settings;
    return loop_ ? loop_->update(settings) : temporary("the capture stream is not running");
}

void PipeWireCaptureStream::stop() {
    if (loop_) {
        loop_->stop();
    }
}

}  // namespace quelm
