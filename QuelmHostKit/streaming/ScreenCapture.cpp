#include "QuelmHostKit/streaming/ScreenCapture.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/streaming/EncodeLatencyMeter.hpp"

namespace quelm {

namespace {

const std::string kDenied = "screenRecordingDenied";
const std::string kNoDisplay = "noDisplay";
const std::string kFailed = "captureFailed";
const std::string kStopped = "captureStopped";

}  // namespace

std::shared_ptr<ScreenCapture> ScreenCapture::make(Collaborators collaborators) {
    auto capture = std::shared_ptr<ScreenCapture>(new ScreenCapture(std::move(collaborators)));
    capture->pipeline_->setOnFrame(weakCallback(capture, [](ScreenCapture& self, VideoFrame frame) {
        FrameHandler handler;
        {
            std::lock_guard lock(self.mutex_);
            handler = self.frameHandler_;
        }
        if (handler) {
            handler(std::move(frame));
        }
    }));
    capture->pipeline_->setOnTimes([latency = capture->latency_](FrameTimes times) {
        times.sent = monotonicSeconds();
        latency->record(times);
    });
    return capture;
}

ScreenCapture::ScreenCapture(Collaborators collaborators)
    : services_(std::move(collaborators)),
      latency_(EncodeLatencyMeter::make()),
      pipeline_(VideoPipeline::make(services_.video, latency_->wrap(services_.makeVideoEncoder))) {}

ScreenCapture::~ScreenCapture() {
    // Nobody can call back into us any more (callbacks hold us weakly), so the stream is stopped
    // here, on the owner's thread.
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard lock(mutex_);
        stream = std::move(stream_);
    }
    if (stream) {
        stream->stop();
    }
}

CaptureSettings ScreenCapture::settingsFor(int nativeWidth, int nativeHeight,
                                           const StreamConfig& config, bool audio) {
    auto size = VideoPipeline::outputSize(nativeWidth, nativeHeight, config.maxEdge);
    CaptureSettings settings;
    settings.width = size.width;
    settings.height = size.height;
    settings.fps =
        static_cast<int>(std::clamp<std::int64_t>(config.fps, 1, std::numeric_limits<int>::max()));
    settings.audio = audio;
    return settings;
}

void ScreenCapture::start(const StreamConfig& config, FrameHandler onFrame, ErrorHandler onError) {
    std::shared_ptr<CaptureStream> old;
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        old = std::move(stream_);
        stream_.reset();
        streamId_ = 0;
        config_ = config;
        lastConfig_ = config;
        frameHandler_ = std::move(onFrame);
        errorHandler_ = std::move(onError);
        ticket = generation_;
    }
    if (old) {
        retire(std::move(old));
    }
    // The permission check may wait for the display server, so it runs in begin, off the
    // caller's queue.
    services_.startup->async(
        weakCallback(shared_from_this(), [ticket](ScreenCapture& self) { self.begin(ticket); }));
}

void ScreenCapture::begin(std::uint64_t ticket) {
    {
        std::lock_guard lock(mutex_);
        if (generation_ != ticket) {
            return;
        }
    }
    if (!services_.service) {
        startFailed(CaptureStatus::failure(CaptureStatus::Kind::permanent,
                                           "no screen capture on this platform"),
                    ticket);
        return;
    }
    if (!services_.service->permissionGranted()) {
        fail(kDenied, ticket);
        return;
    }
    auto listed = services_.service->displays();
    if (auto* status = std::get_if<CaptureStatus>(&listed)) {
        startFailed(*status, ticket);
        return;
    }
    const auto& displays = std::get<std::vector<CaptureDisplay>>(listed);
    if (displays.empty()) {
        fail(kNoDisplay, ticket);
        return;
    }
    const CaptureDisplay display = choose(displays);
    Size native{display.pixelWidth, display.pixelHeight};

    // First check: a newer start or a stop since this one was asked for.
    StreamConfig config;
    bool audio = false;
    std::uint64_t streamId = 0;
    {
        std::lock_guard lock(mutex_);
        if (generation_ != ticket || !config_) {
            return;
        }
        config = *config_;
        audio = audioKbps_ > 0;
        streamId = ++nextStreamId_;
    }
    auto settings = settingsFor(native.width, native.height, config, audio);
    auto created = services_.service->createStream(display, settings, receiversFor(streamId));
    // A preparation was taken over by this stream, or is of no use to it.
    preparedUntil_ = 0;
    if (auto* status = std::get_if<CaptureStatus>(&created)) {
        startFailed(*status, ticket);
        return;
    }
    auto stream = std::get<std::shared_ptr<CaptureStream>>(std::move(created));

    // Second check, before the stream becomes the current one; a stale one was never started.
    // An update or audio switch that came meanwhile found no stream to reconfigure: its
    // settings are taken here, and the stream follows them once it runs.
    CaptureSettings latest;
    {
        std::lock_guard lock(mutex_);
        if (generation_ != ticket || !config_) {
            return;
        }
        stream_ = stream;
        streamId_ = streamId;
        nativeSize_ = native;
        config = *config_;
        latest = settingsFor(native.width, native.height, config, audioKbps_ > 0);
        // Enqueued under the lock, so that an update right after this cannot be overtaken.
        pipeline_->configure(latest.width, latest.height, config);
    }

    auto started = stream->start();
    if (!started.ok()) {
        // A stream that never ran is not kept as the current one: update and setAudio would
        // otherwise reconfigure a dead stream.
        {
            std::lock_guard lock(mutex_);
            if (streamId_ == streamId) {
                stream_.reset();
                streamId_ = 0;
            }
        }
        stream->stop();
        startFailed(started, ticket);
        return;
    }

    // Third check: stopped or restarted while the platform was starting the stream.
    bool stale = false;
    {
        std::lock_guard lock(mutex_);
        stale = generation_ != ticket;
    }
    if (stale) {
        stream->stop();
        return;
    }
    if (latest != settings) {
        reconfigure(std::move(stream), streamId, latest, ticket, "capture update failed: ");
    }
}

CaptureDisplay ScreenCapture::choose(const std::vector<CaptureDisplay>& displays) const {
    const std::uint32_t wanted = services_.currentDisplay ? services_.currentDisplay() : 0;
    auto chosen = std::find_if(displays.begin(), displays.end(),
                               [wanted](const CaptureDisplay& d) { return d.id == wanted; });
    return chosen != displays.end() ? *chosen : displays.front();
}

void ScreenCapture::prepare() {
    services_.startup->async(
        weakCallback(shared_from_this(), [](ScreenCapture& self) { self.warm(); }));
}

void ScreenCapture::warm() {
    // One preparation at a time: connections that follow while it is kept only keep it
    // longer, so that a burst of them costs one.
    if (preparedUntil_ > services_.startup->now()) {
        preparedUntil_ = services_.startup->now() + preparedLife;
        return;
    }
    StreamConfig likely;
    {
        std::lock_guard lock(mutex_);
        if (stream_) {
            return;
        }
        likely = lastConfig_;
    }
    if (!services_.service || !services_.service->permissionGranted()) {
        return;
    }
    auto listed = services_.service->displays();
    const auto* displays = std::get_if<std::vector<CaptureDisplay>>(&listed);
    if (!displays || displays->empty()) {
        return;
    }
    const CaptureDisplay display = choose(*displays);
    const auto settings = settingsFor(display.pixelWidth, display.pixelHeight, likely, false);
    // The encoder is made on the video queue while the capture is prepared here.
    pipeline_->prepare(settings.width, settings.height, likely);
    services_.service->prepare(display, settings);
    preparedUntil_ = services_.startup->now() + preparedLife;
    if (!discardScheduled_) {
        discardScheduled_ = true;
        discardPreparedWhenDue();
    }
}

void ScreenCapture::discardPreparedWhenDue() {
    const double left = preparedUntil_ - services_.startup->now();
    if (left > 0) {
        services_.startup->after(left, weakCallback(shared_from_this(), [](ScreenCapture& self) {
                                     self.discardPreparedWhenDue();
                                 }));
        return;
    }
    discardScheduled_ = false;
    services_.service->discardPrepared();
    pipeline_->discardPrepared();
}

void ScreenCapture::startFailed(const CaptureStatus& status, std::uint64_t ticket) {
    Log::info("screen capture could not start: " + status.description);
    bool denied = status.kind == CaptureStatus::Kind::denied ||
                  (services_.service && !services_.service->permissionGranted());
    fail(denied ? kDenied : kFailed, ticket);
}

void ScreenCapture::fail(const std::string& code, std::uint64_t ticket) {
    ErrorHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (generation_ == ticket) {
            handler = errorHandler_;
        }
    }
    if (handler) {
        handler(code);
    }
}

CaptureStream::Receivers ScreenCapture::receiversFor(std::uint64_t streamId) {
    CaptureStream::Receivers receivers;
    auto self = shared_from_this();
    receivers.onPicture =
        weakCallback(self, [streamId](ScreenCapture& capture, PixelBufferRef buffer) {
            capture.picture(streamId, std::move(buffer));
        });
    receivers.onAudio =
        weakCallback(self, [streamId](ScreenCapture& capture, const AudioSamples& samples) {
            capture.audioArrived(streamId, samples);
        });
    receivers.onStop = weakCallback(self, [streamId](ScreenCapture& capture, CaptureStatus status) {
        capture.streamStopped(streamId, status);
    });
    return receivers;
}

void ScreenCapture::picture(std::uint64_t streamId, PixelBufferRef buffer) {
    if (!buffer) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (streamId_ == 0 || streamId_ != streamId) {
            return;
        }
    }
    pipeline_->submit(std::move(buffer));
}

void ScreenCapture::audioArrived(std::uint64_t streamId, const AudioSamples& samples) {
    {
        std::lock_guard lock(mutex_);
        if (streamId_ == 0 || streamId_ != streamId || !audioHandler_ || audioKbps_ < 1) {
            return;
        }
    }
    // The samples are only valid during this call, and the encoder lives on the audio queue.
    if (audioBacklog_.fetch_add(1) >= audioBacklogLimit) {
        audioBacklog_.fetch_sub(1);
        if (!audioOverflowLogged_.exchange(true)) {
            Log::info("audio encoder behind: dropping captured audio");
        }
        return;
    }
    std::vector<float> copy(samples.interleaved.begin(), samples.interleaved.end());
    services_.audio->async(
        weakCallback(shared_from_this(),
                     [streamId, copy = std::move(copy), rate = samples.sampleRate,
                      channels = samples.channels, fresh = samples.fresh](ScreenCapture& self) {
                         self.audioBacklog_.fetch_sub(1);
                         AudioSamples moved{copy, rate, channels, fresh};
                         self.encodeAudio(streamId, moved);
                     }));
}

void ScreenCapture::encodeAudio(std::uint64_t streamId, const AudioSamples& samples) {
    std::int64_t kbps = 0;
    PacketHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (streamId_ != streamId) {
            return;
        }
        kbps = audioKbps_;
        handler = audioHandler_;
    }
    if (!handler || kbps < 1) {
        return;
    }

    double now = services_.audio->now();
    if (audioLastAt_ > 0) {
        audioMaxGap_ = std::max(audioMaxGap_, now - audioLastAt_);
    }
    audioLastAt_ = now;
    ++audioCallbacks_;
    if (now - audioWindowStart_ >= audioWindow) {
        if (audioWindowStart_ > 0) {
            Log::info("audio capture: " + std::to_string(audioCallbacks_) + " callbacks, max gap " +
                      std::to_string(static_cast<std::int64_t>(audioMaxGap_ * 1000)) + "ms");
        }
        audioWindowStart_ = now;
        audioCallbacks_ = 0;
        audioMaxGap_ = 0;
    }

    // A new recording (the sound server came back) starts a new encoding: sequence numbers
    // from 1 and the cookie first, as after a change of rate.
    if (!encoder_ || encoder_->kbps() != kbps || samples.fresh) {
        encoder_.reset();
        if (services_.makeAudioEncoder) {
            encoder_ = services_.makeAudioEncoder(kbps);
        }
        if (!encoder_) {
            return;
        }
    }
    if (auto packet = encoder_->encode(samples)) {
        handler(std::move(*packet));
    }
}

void ScreenCapture::streamStopped(std::uint64_t streamId, const CaptureStatus& status) {
    std::shared_ptr<CaptureStream> stream;
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        if (streamId_ == 0 || streamId_ != streamId) {
            return;
        }
        stream = std::move(stream_);
        stream_.reset();
        streamId_ = 0;
        ticket = generation_;
    }
    Log::info("screen capture stopped: " + status.description);
    pipeline_->shutdown();
    retire(std::move(stream));
    fail(kStopped, ticket);
}

void ScreenCapture::retire(std::shared_ptr<CaptureStream> stream) {
    // The last reference goes on the start-up queue too, so a stream is never destroyed on
    // one of its own threads.
    services_.startup->async([stream = std::move(stream)]() mutable {
        stream->stop();
        stream.reset();
    });
}

void ScreenCapture::stop() {
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        stream = std::move(stream_);
        stream_.reset();
        streamId_ = 0;
        config_.reset();
        frameHandler_ = nullptr;
        errorHandler_ = nullptr;
        audioHandler_ = nullptr;
        audioKbps_ = 0;
    }
    pipeline_->shutdown();
    if (stream) {
        retire(std::move(stream));
    }
}

void ScreenCapture::acknowledge() {
    pipeline_->acknowledge();
}

void ScreenCapture::requestKeyFrame() {
    pipeline_->requestKeyFrame();
}

void ScreenCapture::update(const StreamConfig& config) {
    std::shared_ptr<CaptureStream> stream;
    std::uint64_t streamId = 0;
    std::uint64_t ticket = 0;
    Size native;
    bool audio = false;
    CaptureSettings settings;
    {
        std::lock_guard lock(mutex_);
        if (!stream_) {
            // Still starting: begin picks up the newest settings. Stopped: nothing to do.
            if (config_) {
                config_ = config;
            }
            return;
        }
        config_ = config;
        stream = stream_;
        streamId = streamId_;
        ticket = generation_;
        native = nativeSize_;
        audio = audioKbps_ > 0;
        settings = settingsFor(native.width, native.height, config, audio);
        // Under the lock: pipeline configurations keep the order of the settings they follow.
        pipeline_->configure(settings.width, settings.height, config);
    }
    reconfigure(std::move(stream), streamId, settings, ticket, "capture update failed: ");
}

void ScreenCapture::setAudio(std::int64_t kbps, PacketHandler onPacket) {
    std::shared_ptr<CaptureStream> stream;
    std::uint64_t streamId = 0;
    std::uint64_t ticket = 0;
    Size native;
    StreamConfig config;
    {
        std::lock_guard lock(mutex_);
        bool wasOn = audioKbps_ > 0;
        audioKbps_ = kbps;
        audioHandler_ = kbps > 0 ? std::move(onPacket) : nullptr;
        if (wasOn != (kbps > 0) && stream_ && config_) {
            stream = stream_;
            streamId = streamId_;
            ticket = generation_;
            native = nativeSize_;
            config = *config_;
        }
    }
    // The next samples make an encoder at the new rate, whose first packet carries the cookie.
    services_.audio->async(
        weakCallback(shared_from_this(), [](ScreenCapture& self) { self.encoder_.reset(); }));
    if (stream) {
        reconfigure(std::move(stream), streamId,
                    settingsFor(native.width, native.height, config, kbps > 0), ticket,
                    "audio switch failed: ");
    }
}

void ScreenCapture::reconfigure(std::shared_ptr<CaptureStream> stream, std::uint64_t streamId,
                                CaptureSettings settings, std::uint64_t ticket,
                                const char* failureLine) {
    services_.startup->async(weakCallback(
        shared_from_this(),
        [stream = std::move(stream), streamId, settings, ticket, failureLine](ScreenCapture& self) {
            {
                // A stream replaced or stopped meanwhile is not worth reconfiguring.
                std::lock_guard lock(self.mutex_);
                if (self.streamId_ != streamId) {
                    return;
                }
            }
            auto status = stream->update(settings);
            if (!status.ok()) {
                Log::info(failureLine + status.description);
                self.fail(kFailed, ticket);
            }
        }));
}

}  // namespace quelm
