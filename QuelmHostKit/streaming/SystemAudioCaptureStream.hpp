#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/platform/SystemAudioSource.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

// A capture stream with the machine's sound beside its pictures: wraps a video-only stream and
// starts or stops a SystemAudioSource whenever the settings switch audio on or off. Audio is a
// bonus: when the sound server cannot be reached or goes away, that is logged once and the
// pictures go on, while the source is tried again on `retry`, after 0.25 s and then twice as
// long each time up to `maxRetryDelay`, for as long as audio is wanted (a desktop restarts its
// sound server on an update or a headset switch). Each recording starts with samples marked
// `fresh`, so the encoder starts afresh too.
//
// Thread: start, update and stop are called one at a time from the capture's start-up queue
// and may block; attempts to reach the sound server again run on `retry` and block it too.
// The source's samples go straight to `onAudio` on its thread. `mutex_` is held while calling
// the source, never by the source's handlers (its stop() waits for them).
// Ownership: made with make_shared; what runs on `retry` holds it weakly.
class SystemAudioCaptureStream final
    : public CaptureStream,
      public std::enable_shared_from_this<SystemAudioCaptureStream> {
  public:
    static constexpr double firstRetryDelay = 0.25;
    static constexpr double maxRetryDelay = 2.0;

    // `audio` may be null: audio then stays off; without `retry` a lost source stays off.
    SystemAudioCaptureStream(std::shared_ptr<CaptureStream> video,
                             std::shared_ptr<SystemAudioSource> audio, bool audioWanted,
                             std::function<void(const AudioSamples&)> onAudio,
                             std::shared_ptr<SerialQueue> retry = nullptr);
    ~SystemAudioCaptureStream() override;

    CaptureStatus start() override;
    CaptureStatus update(const CaptureSettings& settings) override;
    void stop() override;

  private:
    // With mutex_ held.
    void startAudio();
    void stopAudio();
    void scheduleRetry(std::uint64_t attempt);
    // On `retry`: the recording `attempt` ended, or waited for another try.
    void retryAudio(std::uint64_t attempt, bool lost);

    const std::shared_ptr<CaptureStream> video_;
    const std::shared_ptr<SystemAudioSource> audio_;
    const std::shared_ptr<std::function<void(const AudioSamples&)>> onAudio_;
    const std::shared_ptr<SerialQueue> retry_;
    std::mutex mutex_;
    bool audioWanted_;
    bool audioRunning_ = false;
    bool running_ = false;
    // Counts starts and stops of the source, so that a late loss or retry of an earlier
    // recording does nothing.
    std::uint64_t attempt_ = 0;
    double retryDelay_ = firstRetryDelay;
    // Set from the first failure until audio runs again: failed retries are not logged.
    bool outageLogged_ = false;
};

}  // namespace quelm
