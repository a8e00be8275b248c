#include "QuelmHostKit/linux/pulse/PulseAudioSource.hpp"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint8_t kChannels = 2;
// About 10 ms per delivery: small enough for low latency, large enough to keep wake-ups few.
constexpr std::uint32_t kFragmentBytes = kRate / 100 * kChannels * sizeof(float);

}  // namespace

// One connection: the main loop, its context and record stream, and the handlers. Everything
// but the loop pointer is touched only with the loop locked (or on its thread).
struct PulseAudioSource::Session {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    SamplesHandler onSamples;
    StopHandler onStop;
    // Set once the stream is ready; a later failure is a stop of a running capture.
    bool running = false;
    // Set by stop() or after onStop: no handler runs any more.
    bool ended = false;
    bool timedOut = false;
    std::string failure;

    static void contextState(pa_context* c, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        pa_context_state_t state = pa_context_get_state(c);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
            s->lost(std::string("sound server connection ended: ") +
                    pa_strerror(pa_context_errno(c)));
        }
        pa_threaded_mainloop_signal(s->loop, 0);
    }

    static void streamState(pa_stream* st, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        pa_stream_state_t state = pa_stream_get_state(st);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            s->lost(std::string("record stream ended: ") +
                    pa_strerror(pa_context_errno(pa_stream_get_context(st))));
        }
        pa_threaded_mainloop_signal(s->loop, 0);
    }

    static void timeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        s->timedOut = true;
        pa_threaded_mainloop_signal(s->loop, 0);
    }

    static void readable(pa_stream* st, size_t, void* userdata) {
        auto* s = static_cast<Session*>(userdata);
        for (;;) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(st, &data, &bytes) < 0 || bytes == 0) {
                return;
            }
            // A hole (data lost by the server) is skipped; silence would be made up.
            if (data != nullptr && !s->ended && s->running && s->onSamples) {
                AudioSamples samples{
                    std::span(static_cast<const float*>(data), bytes / sizeof(float)),
                    static_cast<int>(kRate), kChannels};
                s->onSamples(samples);
            }
            pa_stream_drop(st);
        }
    }

    void lost(std::string description) {
        if (failure.empty()) {
            failure = description;
        }
        if (running && !ended) {
            ended = true;
            if (onStop) {
                onStop(std::move(description));
            }
        }
    }
};

PulseAudioSource::PulseAudioSource() : PulseAudioSource(Options{}) {}
PulseAudioSource::PulseAudioSource(Options options) : options_(std::move(options)) {}

PulseAudioSource::~PulseAudioSource() {
    std::lock_guard lock(mutex_);
    tearDown();
}

CaptureStatus PulseAudioSource::start(SamplesHandler onSamples, StopHandler onStop) {
    std::lock_guard lock(mutex_);
    tearDown();

    auto session = std::make_unique<Session>();
    Session* s = session.get();
    s->onSamples = std::move(onSamples);
    s->onStop = std::move(onStop);
    // The caller logs the failure: it knows whether this is news or a retry.
    auto fail = [&](CaptureStatus::Kind kind, const std::string& description) {
        session_ = std::move(session);
        tearDown();
        return CaptureStatus::failure(kind, description);
    };

    s->loop = pa_threaded_mainloop_new();
    if (s->loop == nullptr) {
        return fail(CaptureStatus::Kind::temporary, "no main loop");
    }
    pa_threaded_mainloop_set_name(s->loop, "quelmix.pulse");
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Quelmix");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "io.quelmix.host");
    s->context =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(s->loop), "Quelmix", props);
    pa_proplist_free(props);
    if (s->context == nullptr) {
        return fail(CaptureStatus::Kind::temporary, "no sound server context");
    }
    pa_context_set_state_callback(s->context, Session::contextState, s);
    if (pa_context_connect(s->context, options_.server.empty() ? nullptr : options_.server.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return fail(CaptureStatus::Kind::temporary,
                    std::string("no sound server: ") + pa_strerror(pa_context_errno(s->context)));
    }
    if (pa_threaded_mainloop_start(s->loop) < 0) {
        return fail(CaptureStatus::Kind::temporary, "main loop did not start");
    }

    pa_threaded_mainloop_lock(s->loop);
    pa_time_event* deadline = pa_context_rttime_new(
        s->context,
        pa_rtclock_now() + static_cast<pa_usec_t>(options_.startTimeoutSeconds * PA_USEC_PER_SEC),
        Session::timeout, s);
    auto waitFor = [&](auto ready) {
        while (!ready() && s->failure.empty() && !s->timedOut) {
            pa_threaded_mainloop_wait(s->loop);
        }
        return ready();
    };
    auto finishWaiting = [&] {
        if (deadline != nullptr) {
            pa_threaded_mainloop_get_api(s->loop)->time_free(deadline);
            deadline = nullptr;
        }
        pa_threaded_mainloop_unlock(s->loop);
    };
    auto why = [&](const char* what) {
        return s->failure.empty() ? std::string(what) + ": timed out" : s->failure;
    };

    if (!waitFor([&] { return pa_context_get_state(s->context) == PA_CONTEXT_READY; })) {
        std::string description = why("no sound server");
        finishWaiting();
        return fail(CaptureStatus::Kind::temporary, description);
    }

    pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kRate, kChannels};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    s->stream = pa_stream_new(s->context, "system audio", &format, &map);
    if (s->stream == nullptr) {
        std::string description =
            std::string("no record stream: ") + pa_strerror(pa_context_errno(s->context));
        finishWaiting();
        return fail(CaptureStatus::Kind::permanent, description);
    }
    pa_stream_set_state_callback(s->stream, Session::streamState, s);
    pa_stream_set_read_callback(s->stream, Session::readable, s);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = kFragmentBytes;
    if (pa_stream_connect_record(s->stream, options_.device.c_str(), &attr,
                                 PA_STREAM_ADJUST_LATENCY) < 0) {
        std::string description =
            std::string("cannot record: ") + pa_strerror(pa_context_errno(s->context));
        finishWaiting();
        return fail(CaptureStatus::Kind::permanent, description);
    }
    if (!waitFor([&] { return pa_stream_get_state(s->stream) == PA_STREAM_READY; })) {
        std::string description = why("record stream");
        finishWaiting();
        return fail(CaptureStatus::Kind::temporary, description);
    }
    s->running = true;
    current_ = s;
    const char* device = pa_stream_get_device_name(s->stream);
    std::string name = device != nullptr ? device : options_.device;
    finishWaiting();

    Log::info("system audio: recording " + name);
    session_ = std::move(session);
    return CaptureStatus::success();
}

void PulseAudioSource::stop() {
    // From a handler: the loop is locked by this very thread, so the session stays alive; it
    // only has to go quiet. Another thread tearing down waits for this handler to return.
    if (Session* s = current_.load(); s != nullptr && pa_threaded_mainloop_in_thread(s->loop)) {
        s->ended = true;
        return;
    }
    std::lock_guard lock(mutex_);
    tearDown();
}

void PulseAudioSource::tearDown() {
    if (!session_) {
        return;
    }
    Session* s = session_.get();
    current_ = nullptr;
    if (s->loop == nullptr) {
        session_.reset();
        return;
    }
    if (pa_threaded_mainloop_in_thread(s->loop)) {
        // Called from a handler: silence the handlers now; the loop cannot stop itself, so it is
        // freed by the next start() or the destructor, from another thread.
        s->ended = true;
        return;
    }
    pa_threaded_mainloop_lock(s->loop);
    s->ended = true;
    if (s->stream != nullptr) {
        pa_stream_set_state_callback(s->stream, nullptr, nullptr);
        pa_stream_set_read_callback(s->stream, nullptr, nullptr);
        pa_stream_disconnect(s->stream);
        pa_stream_unref(s->stream);
        s->stream = nullptr;
    }
    if (s->context != nullptr) {
        pa_context_set_state_callback(s->context, nullptr, nullptr);
        pa_context_disconnect(s->context);
        pa_context_unref(s->context);
        s->context = nullptr;
    }
    pa_threaded_mainloop_unlock(s->loop);
    pa_threaded_mainloop_stop(s->loop);
    pa_threaded_mainloop_free(s->loop);
    session_.reset();
}

}  // namespace quelm
