#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "QuelmCore/FrameGate.hpp"
#include "QuelmCore/StreamConfig.hpp"
#include "QuelmCore/VideoFrame.hpp"
#include "QuelmHostKit/platform/PixelBuffer.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"
#include "QuelmHostKit/streaming/AckForecast.hpp"
#include "QuelmHostKit/streaming/VideoEncoding.hpp"

namespace quelm {

// Decides which captured pictures are encoded and when, so that the stream stays live over a
// slow link: the newest picture wins, one encode runs at a time, at most two frames wait for
// the companion's acknowledgement, key frames come only on demand, and a still screen is
// re-encoded a few times to sharpen it. While the gate is full, the next frame is encoded just
// early enough to be ready when the acknowledgement is expected, and held until it comes, so
// that encoding is not part of the gate's round trip.
//
// Thread: every public operation may be called from any thread; it only enqueues its work on
// `queue`, where all state lives and where `onFrame` is called (frames in `seq` order).
// Ownership: made by `make` and owned through a shared_ptr by the capture. Timers and encoder
// completions hold it weakly, so releasing the owner ends all activity. The caller keeps the
// queue alive at least as long as the pipeline.
class VideoPipeline final : public std::enable_shared_from_this<VideoPipeline> {
  public:
    using FrameHandler = std::function<void(VideoFrame)>;

    struct Size {
        int width = 0;
        int height = 0;
        friend bool operator==(const Size&, const Size&) = default;
    };

    // Refinement encodes after each new picture, and their spacing once the screen stopped
    // changing; after a key frame they follow each other as fast as the link carries them.
    static constexpr int refinementPasses = 3;
    static constexpr double refinementDelay = 0.3;
    // Unacknowledged frames allowed, and how long the pipeline waits for an acknowledgement.
    static constexpr int gateLimit = 2;
    static constexpr double gateTimeout = 3.0;
    // The stall re-check runs this long after the gate's time-out, so that it finds it expired.
    static constexpr double stallCheckMargin = 0.05;
    // Weight of the newest encode in the running estimate of how long one takes.
    static constexpr double encodeTimeWeight = 0.25;

    static std::shared_ptr<VideoPipeline> make(std::shared_ptr<SerialQueue> queue,
                                               VideoEncoderFactory makeEncoder);
    ~VideoPipeline();

    VideoPipeline(const VideoPipeline&) = delete;
    VideoPipeline& operator=(const VideoPipeline&) = delete;

    // Set by the owner before the first configure.
    void setOnFrame(FrameHandler onFrame);
    // Called on `queue` after `onFrame` with the stage times of a measured frame.
    void setOnTimes(std::function<void(const FrameTimes&)> onTimes);
    // Resets, takes the new size and settings, and makes an encoder (or takes the prepared one
    // when it was made for them).
    void configure(int width, int height, const StreamConfig& config);
    // While unconfigured: makes an encoder for this size and settings ahead of the configure
    // that may ask for them (a companion is connecting; opening an encoder takes several ms,
    // the first in a process tens). Kept until the next configure or discardPrepared().
    void prepare(int width, int height, const StreamConfig& config);
    void discardPrepared();
    // Offers a captured picture; pictures of another size than configured are dropped.
    void submit(PixelBufferRef buffer);
    // The companion acknowledged one frame, whichever it was.
    void acknowledge();
    void requestKeyFrame();
    // Resets and returns to the unconfigured state.
    void shutdown();

    // The encoded size for a display of this native size and the requested longest edge:
    // aspect preserved to the nearest even pixel, both sides even and at least 2.
    static Size outputSize(int pixelWidth, int pixelHeight, std::int64_t maxEdge);

  private:
    VideoPipeline(std::shared_ptr<SerialQueue> queue, VideoEncoderFactory makeEncoder);

    // Runs `work` on the queue while the pipeline lives.
    void enqueue(std::function<void(VideoPipeline&)> work);

    void resetState();
    void dropEncoder();
    void dropSpare();
    bool spareFits(int width, int height, const StreamConfig& config) const;
    bool createEncoder();
    void pump();
    // Whether a frame encoded now would be ready about when the gate is expected to open; if
    // not yet, a re-check is armed for that time.
    bool encodeAheadDue(double now);
    void restartAfterStall();
    void startEncode(PixelBufferRef picture, bool fresh, double now, bool ahead);
    void finished(EncodeOutcome outcome, std::uint64_t epoch, bool fresh, bool wasKey, bool ahead);
    void deliver(const EncodedFrame& encoded);
    double refinementSpacing(const EncodedFrame& frame, bool fresh) const;
    void scheduleRefinement();
    void scheduleStallCheck();

    const std::shared_ptr<SerialQueue> queue_;
    const VideoEncoderFactory makeEncoder_;

    // Everything below is touched only on queue_.
    FrameHandler onFrame_;
    std::function<void(const FrameTimes&)> onTimes_;
    int width_ = 0;
    int height_ = 0;
    std::optional<StreamConfig> config_;
    std::unique_ptr<VideoEncoding> encoder_;
    // Made by prepare, for spareSize_ and spareConfig_.
    std::unique_ptr<VideoEncoding> spare_;
    Size spareSize_;
    StreamConfig spareConfig_;
    FrameGate gate_{gateLimit, gateTimeout};
    AckForecast acks_;
    // Encoded ahead while the gate was full; sent with the next acknowledgement.
    std::optional<EncodedFrame> held_;
    double encodeStartedAt_ = 0;
    // How long an encode takes, smoothed; a frame encoded ahead starts this long before the
    // acknowledgement it waits for.
    double encodeSeconds_ = 0;
    bool aheadCheckArmed_ = false;
    PixelBufferRef pending_;
    PixelBufferRef current_;
    bool needsKeyFrame_ = true;
    bool encoding_ = false;
    int refinementsLeft_ = 0;
    bool refinementDue_ = false;
    double nextRefinementDelay_ = refinementDelay;
    std::uint64_t refinementToken_ = 0;
    bool stallCheckScheduled_ = false;
    std::uint64_t epoch_ = 0;
    std::uint32_t seq_ = 0;
    // A failed creation is logged once until an encoder is made again, not for every picture.
    bool creationFailureLogged_ = false;
};

}  // namespace quelm
