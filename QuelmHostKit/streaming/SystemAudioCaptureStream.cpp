#include "QuelmHostKit/streaming/SystemAudioCaptureStream.hpp"

#include <algorithm>
#include <utility>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

SystemAudioCaptureStream::SystemAudioCaptureStream(std::shared_ptr<CaptureStream> video,
                                                   std::shared_ptr<SystemAudioSource> audio,
                                                   bool audioWanted,
                                                   std::function<void(const AudioSamples&)> onAudio,
                                                   std::shared_ptr<SerialQueue> retry)
    : video_(std::move(video)),
      audio_(std::move(audio)),
      onAudio_(std::make_shared<std::function<void(const AudioSamples&)>>(std::move(onAudio))),
      retry_(std::move(retry)),
      audioWanted_(audioWanted) {}

SystemAudioCaptureStream::~SystemAudioCaptureStream() {
    stop();
}

CaptureStatus SystemAudioCaptureStream::start() {
    auto status = video_->start();
    if (!status.ok()) {
        return status;
    }
    std::lock_guard lock(mutex_);
    running_ = true;
    if (audioWanted_) {
        startAudio();
    }
    return status;
}

CaptureStatus SystemAudioCaptureStream::update(const CaptureSettings& settings) {
    auto status = video_->update(settings);
    std::lock_guard lock(mutex_);
    audioWanted_ = settings.audio;
    if (!running_) {
        return status;
    }
    if (audioWanted_ && !audioRunning_) {
        startAudio();
    } else if (!audioWanted_) {
        stopAudio();
    }
    return status;
}

void SystemAudioCaptureStream::stop() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        stopAudio();
    }
    video_->stop();
}

void SystemAudioCaptureStream::startAudio() {
    if (!audio_) {
        Log::info("system audio unavailable: no sound source");
        return;
    }
    const std::uint64_t attempt = ++attempt_;
    std::weak_ptr<SystemAudioCaptureStream> weak = weak_from_this();
    std::weak_ptr<SerialQueue> retry = retry_;
    auto status = audio_->start(
        [onAudio = onAudio_, fresh = true](const AudioSamples& samples) mutable {
            if (*onAudio) {
                AudioSamples marked = samples;
                marked.fresh = std::exchange(fresh, false);
                (*onAudio)(marked);
            }
        },
        // On the source's thread, which must not wait for mutex_: the rest happens on `retry`.
        [weak, retry, attempt](std::string description) {
            Log::info("system audio stopped: " + description);
            if (auto queue = retry.lock()) {
                queue->async([weak, attempt] {
                    if (auto self = weak.lock()) {
                        self->retryAudio(attempt, true);
                    }
                });
            }
        });
    if (!status.ok()) {
        if (!outageLogged_) {
            Log::info("system audio unavailable: " + status.description);
            outageLogged_ = true;
        }
        scheduleRetry(attempt);
        return;
    }
    audioRunning_ = true;
    outageLogged_ = false;
    retryDelay_ = firstRetryDelay;
}

void SystemAudioCaptureStream::stopAudio() {
    ++attempt_;
    if (audioRunning_) {
        audio_->stop();
    }
    audioRunning_ = false;
    outageLogged_ = false;
    retryDelay_ = firstRetryDelay;
}

void SystemAudioCaptureStream::scheduleRetry(std::uint64_t attempt) {
    if (!retry_) {
        return;
    }
    const double delay = retryDelay_;
    retryDelay_ = std::min(retryDelay_ * 2, maxRetryDelay);
    retry_->after(delay, [weak = weak_from_this(), attempt] {
        if (auto self = weak.lock()) {
            self->retryAudio(attempt, false);
        }
    });
}

void SystemAudioCaptureStream::retryAudio(std::uint64_t attempt, bool lost) {
    std::lock_guard lock(mutex_);
    if (attempt != attempt_ || !running_ || !audioWanted_) {
        return;  // stopped, switched off or started again since
    }
    if (lost) {
        // The ended recording is released here, off the source's own thread; the stop line
        // already told the log about this outage.
        audio_->stop();
        audioRunning_ = false;
        outageLogged_ = true;
        scheduleRetry(attempt);
        return;
    }
    if (!audioRunning_) {
        startAudio();
    }
}

}  // namespace quelm
