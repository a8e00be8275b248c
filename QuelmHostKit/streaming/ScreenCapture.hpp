#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QuelmCore/StreamConfig.hpp"
#include "QuelmHostKit/platform/CaptureService.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/streaming/AudioEncoding.hpp"
#include "QuelmHostKit/streaming/ScreenStreaming.hpp"
#include "QuelmHostKit/streaming/VideoEncoding.hpp"
#include "QuelmHostKit/streaming/VideoPipeline.hpp"

namespace quelm {

class EncodeLatencyMeter;

// The host's video and audio source: captures the selected display through a CaptureService,
// hands every picture to its VideoPipeline and, while audio is on, turns the captured sound into
// AAC packets. Every start takes a new ticket (`generation_`); asynchronous work whose ticket or
// stream is no longer current does nothing, so quick start/stop/start sequences are safe.
//
// Thread: public operations may be called from any thread and return at once. The blocking
// platform calls (listing displays, creating, starting, updating and stopping a stream) run on
// `startup`, a queue of their own; pictures are handed to the pipeline on the stream's capture
// thread; audio is encoded on `audio`. `mutex_` guards the stream state and is never held
// while calling out, but for enqueueing the pipeline's configuration, whose order must follow
// the order of the settings.
// Ownership: made by `make`, owned through a shared_ptr; everything handed out holds it weakly.
// The caller keeps the queues alive at least as long as the capture.
class ScreenCapture final : public ScreenStreaming,
                            public std::enable_shared_from_this<ScreenCapture> {
  public:
    struct Collaborators {
        std::shared_ptr<CaptureService> service;
        // Where begin and the stream's reconfigurations run; may block.
        std::shared_ptr<SerialQueue> startup;
        // "quelmix.audio": the AAC encoder and audio packet delivery.
        std::shared_ptr<SerialQueue> audio;
        // "quelmix.video": the pipeline's queue.
        std::shared_ptr<SerialQueue> video;
        VideoEncoderFactory makeVideoEncoder;
        // Nothing: audio is never encoded (samples are skipped).
        AudioEncoderFactory makeAudioEncoder;
        // The display to capture now (the display selection's choice); without it, or when
        // that display is not listed, the first listed display.
        std::function<std::uint32_t()> currentDisplay;
    };

    // Audio runs of the stream waiting for the encoder beyond which new ones are dropped.
    static constexpr int audioBacklogLimit = 64;
    static constexpr double audioWindow = 5.0;

    static std::shared_ptr<ScreenCapture> make(Collaborators collaborators);
    ~ScreenCapture() override;

    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;

    void start(const StreamConfig& config, FrameHandler onFrame, ErrorHandler onError) override;
    void stop() override;
    void acknowledge() override;
    void requestKeyFrame() override;
    void update(const StreamConfig& config) override;
    void setAudio(std::int64_t kbps, PacketHandler onPacket) override;
    // Has the service prepare the capture of the display a start would choose, and the pipeline
    // an encoder, for the configuration of the last start (before any, the companion's preset
    // for a phone away from home), unless a stream runs; kept `preparedLife` seconds after the
    // last prepare when no start takes them.
    void prepare() override;

    static constexpr double preparedLife = 10.0;

    // The capture settings for a display of this native size.
    static CaptureSettings settingsFor(int nativeWidth, int nativeHeight,
                                       const StreamConfig& config, bool audio);

  private:
    explicit ScreenCapture(Collaborators collaborators);

    struct Size {
        int width = 0;
        int height = 0;
    };

    // The display to capture: the selected one when listed, else the first.
    CaptureDisplay choose(const std::vector<CaptureDisplay>& displays) const;
    void begin(std::uint64_t ticket);
    void warm();
    void discardPreparedWhenDue();
    void startFailed(const CaptureStatus& status, std::uint64_t ticket);
    void fail(const std::string& code, std::uint64_t ticket);
    CaptureStream::Receivers receiversFor(std::uint64_t streamId);
    void picture(std::uint64_t streamId, PixelBufferRef buffer);
    void audioArrived(std::uint64_t streamId, const AudioSamples& samples);
    void encodeAudio(std::uint64_t streamId, const AudioSamples& samples);
    void streamStopped(std::uint64_t streamId, const CaptureStatus& status);
    // Stops and releases a stream on the start-up queue, never on its own threads.
    void retire(std::shared_ptr<CaptureStream> stream);
    void reconfigure(std::shared_ptr<CaptureStream> stream, std::uint64_t streamId,
                     CaptureSettings settings, std::uint64_t ticket, const char* failureLine);

    const Collaborators services_;
    const std::shared_ptr<EncodeLatencyMeter> latency_;
    const std::shared_ptr<VideoPipeline> pipeline_;

    // Touched only on services_.startup: until when a preparation is kept, and whether a
    // discard is due.
    double preparedUntil_ = 0;
    bool discardScheduled_ = false;

    // Touched only on services_.audio.
    std::unique_ptr<AudioEncoding> encoder_;
    double audioLastAt_ = 0;
    double audioMaxGap_ = 0;
    int audioCallbacks_ = 0;
    double audioWindowStart_ = 0;

    std::atomic<int> audioBacklog_{0};
    std::atomic<bool> audioOverflowLogged_{false};

    mutable std::mutex mutex_;
    std::uint64_t generation_ = 0;
    std::shared_ptr<CaptureStream> stream_;
    // Identifies stream_ to its callbacks; 0 while there is none.
    std::uint64_t streamId_ = 0;
    std::uint64_t nextStreamId_ = 0;
    Size nativeSize_;
    std::optional<StreamConfig> config_;
    // The configuration of the last start: what the next companion most likely asks for.
    StreamConfig lastConfig_{1920, 6.0, 30};
    FrameHandler frameHandler_;
    ErrorHandler errorHandler_;
    std::int64_t audioKbps_ = 0;
    PacketHandler audioHandler_;
};

}  // namespace quelm
