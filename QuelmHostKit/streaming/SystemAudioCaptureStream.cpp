#include "QuelmHostKit/streaming/SystemAudioCaptureStream.hpp"

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

SystemAudioCaptureStream::SystemAudioCaptureStream(std::shared_ptr<CaptureStream> video,
                                                   std::shared_ptr<SystemAudioSource> audio,
                                                   bool audioWanted,
                                                   std::function<void(const AudioSamples&)> onAudio)
    : video_(std::move(video)),
      audio_(std::move(audio)),
      onAudio_(std::make_shared<std::function<void(const AudioSamples&)>>(std::move(onAudio))),
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
    } else if (!audioWanted_ && audioRunning_) {
        stopAudio();
    }
    return status;
}

void SystemAudioCaptureStream::stop() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        if (audioRunning_) {
            stopAudio();
        }
    }
    video_->stop();
}

void SystemAudioCaptureStream::startAudio() {
    if (!audio_) {
        Log::info("system audio unavailable: no sound source");
        return;
    }
    auto status = audio_->start(
        [onAudio = onAudio_](const AudioSamples& samples) {
            if (*onAudio) {
                (*onAudio)(samples);
            }
        },
        [](std::string description) { Log::info("system audio stopped: " + description); });
    if (!status.ok()) {
        Log::info("system audio unavailable: " + status.description);
        return;
    }
    audioRunning_ = true;
}

void SystemAudioCaptureStream::stopAudio() {
    audio_->stop();
    audioRunning_ = false;
}

}  // namespace quelm
