#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/StreamConfig.hpp"
#include "QuelmHostKit/streaming/VideoEncoding.hpp"

namespace quelm {

// Status of an encode refused because the picture does not match the session's size.
inline constexpr std::int32_t kEncoderBadPicture = -12902;

// One libx264 session of a fixed picture size, tuned for interactive screen sharing: zero
// latency (each picture comes out of its own encode call), no B-frames, Constrained High profile,
// average bit rate, key frames only on request, BT.709 video-range colour, NV12 input.
//
// Threads: create, encode and invalidate come from one serial queue (the video pipeline's);
// invalidate may also come from inside a completion. Every encode runs on the encoder's own
// worker thread, which also runs the completions. The hand-off holds one picture: an encode
// submitted while another waits to start is refused at once as dropped.
class VideoEncoder final : public VideoEncoding {
  public:
    // One way of opening the session: an x264 preset and tuning, extra x264 options, and the
    // number of slice threads (0: one per core, at most four).
    struct Setup {
        std::string preset;
        std::string tune;
        std::vector<std::pair<std::string, std::string>> tools;
        int threads = 0;
    };

    // Low-latency setup first, then a simpler single-threaded one.
    static std::vector<Setup> defaultSetups();

    // Nothing when no session can be opened with any setup.
    static std::unique_ptr<VideoEncoder> create(int width, int height, const StreamConfig& config);
    static std::unique_ptr<VideoEncoder> create(int width, int height, const StreamConfig& config,
                                                const std::vector<Setup>& setups);
    static VideoEncoderFactory factory();

    ~VideoEncoder() override;

    void encode(PixelBufferRef buffer, bool forceKey, Completion completion) override;
    void invalidate() override;

    int width() const { return width_; }
    int height() const { return height_; }

    // Converts 1-, 2- or 3-byte big-endian NAL length prefixes into 4-byte ones; nothing for any
    // other prefix size or when a length runs past the end.
    static std::optional<Bytes> rewriteLengths(const Bytes& data, int from);

  private:
    class CallOnce;
    class Session;
    struct HandOff;

    VideoEncoder(int width, int height, std::unique_ptr<Session> session);
    static void run(std::shared_ptr<HandOff> handOff, std::unique_ptr<Session> session);

    const int width_;
    const int height_;
    std::shared_ptr<HandOff> handOff_;
    std::thread worker_;
};

}  // namespace quelm
