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
// quantisers chosen per frame against the bit rate, key frames only on request, BT.709 video-range
// colour, NV12 input. A key frame fits in `frameBudgetSeconds` of the bit rate whatever the screen
// shows: its quantiser is chosen from the size of the last one and it is encoded again coarser when
// it overshoots. A refinement is encoded at a quantiser finer than the frame before it, as fine as
// its budget allows, so that a still screen sharpens even right after a key frame, when rate
// control would only repeat it. Motion frames get the quantiser at which they should fit what the
// link has room for, so that no frame holds the link for long after a still spell.
//
// Threads: create, encode and invalidate come from one serial queue (the video pipeline's);
// invalidate may also come from inside a completion. Every encode runs on the encoder's own
// worker thread, which also runs the completions. The hand-off holds one picture: an encode
// submitted while another waits to start is refused at once as dropped.
class VideoEncoder final : public VideoEncoding {
  public:
    // One way of opening the session: an x264 preset and tuning (empty: none), extra x264
    // options, the number of threads (0: one per core, at most four), whether they split each
    // picture into slices, and the profile the stream is held to ("high" or "baseline").
    struct Setup {
        std::string preset;
        std::string tune;
        std::vector<std::pair<std::string, std::string>> tools;
        int threads = 0;
        bool slicedThreads = true;
        std::string profile = "high";
    };

    // Low-latency Constrained High setup with slice threads first; then a plain one: one thread,
    // no tuning, no extra tools, Constrained Baseline.
    static std::vector<Setup> defaultSetups();

    // The finest quantiser a refinement or a motion frame goes to.
    static constexpr int finestRefinementQp = 18;
    // Key frames: the stretch of the link one may take, the quantiser of a session's first key
    // frame, the finest a key frame goes, and the encodes one may take. A refinement may take a
    // longer stretch: the link is idle behind it, and a still screen should sharpen in a few.
    static constexpr double frameBudgetSeconds = 0.125;
    static constexpr double refinementBudgetSeconds = 0.2;
    static constexpr int firstKeyQp = 30;
    static constexpr int finestKeyQp = 22;
    static constexpr int maxKeyAttempts = 3;
    static std::size_t frameBudgetBytes(double bitrateMbps, double seconds = frameBudgetSeconds);

    // "Constrained High", "High", "Main", "Constrained Baseline", "Baseline" or "profile N",
    // from a sequence parameter set (NAL header first).
    static std::string profileName(const Bytes& sps);

    // Nothing when no session can be opened with any setup.
    static std::unique_ptr<VideoEncoder> create(int width, int height, const StreamConfig& config);
    static std::unique_ptr<VideoEncoder> create(int width, int height, const StreamConfig& config,
                                                const std::vector<Setup>& setups);
    static VideoEncoderFactory factory();

    ~VideoEncoder() override;

    void encode(PixelBufferRef buffer, EncodeRequest request, Completion completion) override;
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
