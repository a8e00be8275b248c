#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "QuelmHostKit/platform/SystemAudioSource.hpp"

namespace quelm {

// System audio from a PulseAudio server (or PipeWire's pulse server): a record stream on the
// monitor of the default output, 48 kHz stereo float, run by libpulse's threaded main loop.
// The host itself plays nothing, so the monitor holds only other programs' sound. Failures and
// losses are reported to the caller, not logged here (the caller knows a retry from news).
//
// Handlers run on the main loop's thread with the loop locked: they should hand the samples on
// quickly, may call stop() but not start(), and must not wait for a lock that a caller of stop()
// holds, since stop() waits for a running handler to return. start() and stop() otherwise come
// from one thread at a time.
class PulseAudioSource final : public SystemAudioSource {
  public:
    struct Options {
        // The server to reach; empty for the default (PULSE_SERVER, then the user's runtime
        // folder). Never spawns one.
        std::string server;
        // The source to record; the default output's monitor unless told otherwise.
        std::string device = "@DEFAULT_MONITOR@";
        // How long connecting and opening the stream may take.
        double startTimeoutSeconds = 5.0;
    };

    PulseAudioSource();
    explicit PulseAudioSource(Options options);
    ~PulseAudioSource() override;
    PulseAudioSource(const PulseAudioSource&) = delete;
    PulseAudioSource& operator=(const PulseAudioSource&) = delete;

    CaptureStatus start(SamplesHandler onSamples, StopHandler onStop) override;
    void stop() override;

  private:
    struct Session;

    void tearDown();

    const Options options_;
    std::mutex mutex_;
    std::unique_ptr<Session> session_;
    // The running session, for stop() from a handler, which must not wait for mutex_.
    std::atomic<Session*> current_{nullptr};
};

}  // namespace quelm
