#pragma once

#include <memory>
#include <mutex>

#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/SystemAudioSource.hpp"

namespace quelm {

// A capture stream with the machine's sound beside its pictures: wraps a video-only stream and
// starts or stops a SystemAudioSource whenever the settings switch audio on or off. Audio is a
// bonus: when the sound server cannot be reached or goes away, that is logged and the pictures
// go on.
//
// Thread: start, update and stop are called one at a time from the capture's start-up queue
// and may block; the source's samples go straight to the receivers' onAudio on its thread.
class SystemAudioCaptureStream final : public CaptureStream {
  public:
    // `audio` may be null: audio then stays off. `onAudio` receives the samples.
    SystemAudioCaptureStream(std::shared_ptr<CaptureStream> video,
                             std::shared_ptr<SystemAudioSource> audio, bool audioWanted,
                             std::function<void(const AudioSamples&)> onAudio);
    ~SystemAudioCaptureStream() override;

    CaptureStatus start() override;
    CaptureStatus update(const CaptureSettings& settings) override;
    void stop() override;

  private:
    void startAudio();
    void stopAudio();

    const std::shared_ptr<CaptureStream> video_;
    const std::shared_ptr<SystemAudioSource> audio_;
    const std::shared_ptr<std::function<void(const AudioSamples&)>> onAudio_;
    std::mutex mutex_;
    bool audioWanted_;
    bool audioRunning_ = false;
    bool running_ = false;
};

}  // namespace quelm
