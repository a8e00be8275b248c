#include "QuelmHostKit/codecs/VideoEncoder.hpp"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <tuple>

extern "C" {
#include <x264.h>
}

#include "QuelmHostKit/codecs/ScrollDetector.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

namespace {

constexpr int kMaxSliceThreads = 4;
constexpr std::size_t kPrefixBytes = 4;
// x264 gives no status when it cannot open a session.
constexpr int kOpenFailed = -1;

void logFromX264(void*, int level, const char* format, va_list args) {
    if (level > X264_LOG_WARNING) {
        return;
    }
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = std::string("x264: ") + text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    Log::info(line);
}

// Calls onUnit(begin, length) for each NAL unit behind a big-endian length of `prefix` bytes;
// false when a length field or a unit runs past the end.
template <class OnUnit>
bool walkUnits(const Bytes& data, std::size_t prefix, OnUnit&& onUnit) {
    std::size_t position = 0;
    while (position < data.size()) {
        if (data.size() - position < prefix) {
            return false;
        }
        std::uint32_t length = 0;
        for (std::size_t i = 0; i < prefix; ++i) {
            length = (length << 8) | data[position + i];
        }
        position += prefix;
        if (length > data.size() - position) {
            return false;
        }
        onUnit(position, length);
        position += length;
    }
    return true;
}

void appendLength(Bytes& out, std::uint32_t length) {
    out.push_back(static_cast<std::uint8_t>(length >> 24));
    out.push_back(static_cast<std::uint8_t>(length >> 16));
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length));
}

int applyProperty(x264_param_t& param, const std::string& key, const std::string& value) {
    const int status = x264_param_parse(&param, key.c_str(), value.c_str());
    if (status != 0) {
        Log::info("encoder property " + key + " not applied: " + std::to_string(status));
    }
    return status;
}

std::string kilobitsPerSecond(double bitrateMbps) {
    const double bitsPerSecond = bitrateMbps * 1'000'000.0;
    if (!std::isfinite(bitsPerSecond) || bitsPerSecond < 1000.0) {
        return "0";  // refused when the session opens
    }
    const double kilobits = std::trunc(bitsPerSecond) / 1000.0;
    return std::to_string(static_cast<std::int64_t>(
        std::min(kilobits, static_cast<double>(std::numeric_limits<int>::max()))));
}

// What the stream asks of every setup, applied after the setup's own tools.
std::vector<std::pair<std::string, std::string>> streamProperties(const StreamConfig& config) {
    return {
        {"bframes", "0"},
        {"bitrate", kilobitsPerSecond(config.bitrateMbps)},
        {"fps", std::to_string(config.fps)},
        {"keyint", "infinite"},
        {"scenecut", "0"},
        {"colorprim", "bt709"},
        {"transfer", "bt709"},
        {"colormatrix", "bt709"},
        {"fullrange", "off"},
        {"annexb", "0"},
        {"repeat-headers", "0"},
    };
}

}  // namespace

std::size_t VideoEncoder::frameBudgetBytes(double bitrateMbps, double seconds) {
    const double bytes = bitrateMbps * 1'000'000.0 / 8.0 * seconds;
    if (!std::isfinite(bytes) || bytes < 1) {
        return 1;
    }
    return static_cast<std::size_t>(std::min(bytes, 1e12));
}

namespace {

int sliceThreads(int requested) {
    if (requested > 0) {
        return requested;
    }
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(cores, 1, kMaxSliceThreads);
}

// x264 has no switch for the Constrained High marking: with no B-frames and progressive
// pictures a High stream already obeys it, so set constraint_set4 and constraint_set5 in the
// byte after profile_idc. Fixed-length fields only, so no emulation prevention changes.
void markConstrainedHigh(Bytes& sps, const x264_param_t& param) {
    constexpr std::uint8_t kProfileHigh = 100;
    constexpr std::uint8_t kConstraintSet4And5 = 0x0C;
    if (sps.size() >= 4 && sps[1] == kProfileHigh && param.i_bframe == 0 && !param.b_interlaced) {
        sps[2] |= kConstraintSet4And5;
    }
}

// The session chooses every quantiser itself, so x264's average-bit-rate control only costs:
// it keeps half-size copies of every picture and estimates each one's cost on them (about a
// fifth of the CPU of a 1080p motion frame). Constant-quantiser mode has none of that, but x264
// clips forced quantisers to the span between its constant P and I (and B) quantisers: the
// factors open that span from the finest refinement to the coarsest quantiser. A picture
// encoded without a forced quantiser gets the first key frame's.
void holdQuantisersOpen(x264_param_t& param) {
    constexpr int coarsest = 51;
    param.rc.i_rc_method = X264_RC_CQP;
    param.rc.i_qp_constant = VideoEncoder::firstKeyQp;
    param.rc.f_ip_factor = static_cast<float>(
        std::exp2((VideoEncoder::firstKeyQp - VideoEncoder::finestRefinementQp) / 6.0));
    param.rc.f_pb_factor =
        static_cast<float>(std::exp2((coarsest - VideoEncoder::firstKeyQp) / 6.0));
}

}  // namespace

// Wraps one encode's completion so it runs exactly once, whichever path delivers first.
class VideoEncoder::CallOnce {
  public:
    explicit CallOnce(Completion handler) : handler_(std::move(handler)) {}

    void deliver(EncodeOutcome outcome) {
        Completion handler;
        {
            std::lock_guard lock(mutex_);
            handler = std::exchange(handler_, nullptr);
        }
        if (handler) {
            handler(std::move(outcome));
        }
    }

  private:
    std::mutex mutex_;
    Completion handler_;
};

// The open x264 session and its parameter sets. Used by the worker thread only once opened.
class VideoEncoder::Session {
  public:
    // The session, or the status of the step that failed.
    static std::pair<std::unique_ptr<Session>, int> open(int width, int height,
                                                         const StreamConfig& config,
                                                         const Setup& setup) {
        // 4:2:0 needs even sizes. Checked here because x264 leaks a little when it refuses one.
        if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0) {
            return {nullptr, kOpenFailed};
        }
        x264_param_t param;
        const int presetStatus = x264_param_default_preset(
            &param, setup.preset.c_str(), setup.tune.empty() ? nullptr : setup.tune.c_str());
        // Parsed options may own memory; the open session keeps its own copy.
        const std::unique_ptr<x264_param_t, decltype(&x264_param_cleanup)> cleanup(
            &param, x264_param_cleanup);
        if (presetStatus != 0) {
            return {nullptr, presetStatus};
        }
        param.pf_log = logFromX264;
        param.i_log_level = X264_LOG_WARNING;
        param.i_width = width;
        param.i_height = height;
        param.i_csp = X264_CSP_NV12;
        param.i_timebase_num = 1;
        param.i_timebase_den = 1'000'000;
        for (const auto& [key, value] : setup.tools) {
            applyProperty(param, key, value);
        }
        // Output must leave with its own input: no lookahead, and no frame threads (each would
        // hold a picture back); several threads only as slices of one picture.
        param.i_threads = sliceThreads(setup.threads);
        param.b_sliced_threads = setup.slicedThreads && param.i_threads > 1 ? 1 : 0;
        if (!param.b_sliced_threads) {
            param.i_threads = 1;
        }
        param.i_sync_lookahead = 0;
        param.rc.i_lookahead = 0;
        param.rc.b_mb_tree = 0;
        param.b_vfr_input = 0;
        for (const auto& [key, value] : streamProperties(config)) {
            applyProperty(param, key, value);
        }
        if (param.rc.i_bitrate <= 0) {
            return {nullptr, kOpenFailed};
        }
        holdQuantisersOpen(param);
        if (const int status = x264_param_apply_profile(&param, setup.profile.c_str());
            status != 0) {
            Log::info("encoder property profile not applied: " + std::to_string(status));
        }

        x264_t* encoder = x264_encoder_open(&param);
        if (encoder == nullptr) {
            return {nullptr, kOpenFailed};
        }
        auto session = std::unique_ptr<Session>(
            new Session(encoder, config.bitrateMbps * 1'000'000.0 / 8.0, config.fps));
        if (const int status = session->readParameterSets(param); status != 0) {
            return {nullptr, status};
        }
        return {std::move(session), 0};
    }

    ~Session() { x264_encoder_close(encoder_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    EncodeOutcome encode(PixelBuffer& buffer, EncodeRequest request, std::int64_t pts) {
        drainLink(pts);
        if (!request.refinement) {
            followScroll(scroll_.observe(buffer.luma(), buffer.lumaStride(), buffer.width(),
                                         buffer.height()));
        }
        if (request.forceKey) {
            return encodeKey(buffer, pts);
        }
        if (!complexity_) {
            return std::move(sent(encodeOnce(buffer, X264_TYPE_AUTO, std::nullopt, pts)).outcome);
        }
        // Average-bit-rate control answers an unchanged picture with a coarse, all-skipped frame,
        // and after a still spell it has saved so much that the next motion frames come out near
        // lossless and hold the link for seconds: the session chooses every quantiser itself.
        if (request.refinement) {
            const int last = lastQp_.value_or(firstKeyQp);
            const int qp = refinementQp(last);
            auto result = sent(encodeOnce(buffer, X264_TYPE_AUTO, qp, pts));
            learn(refinementRatio_, result, intra(qp) - intra(last), kRefinementRatioFloor);
            return std::move(result.outcome);
        }
        const bool moving = inMotion(pts);
        const double room = motionRoom(moving);
        int qp = motionQp(room);
        if (moving) {
            // In continuing motion the quantiser goes finer a little at a time: the model is
            // learnt from one frame, and a leap would overshoot on the next busy one.
            qp = std::max({qp, lastMotionQp_ - kMotionQpStep, motionFloorQp_.value_or(0)});
        } else {
            motionFloorQp_.reset();
        }
        lastMotion_ = pts;
        lastMotionQp_ = qp;
        auto result = encodeOnce(buffer, X264_TYPE_AUTO, qp, pts);
        learn(motionRatio_, result, intra(qp), kMotionRatioFloor);
        if (result.size > frameBudget_ && static_cast<double>(result.size) > 2 * room) {
            // A change far larger than the frames before it (a new window after typing): the
            // frame is dropped unsent and the picture goes out as a key frame sized for the link.
            // An IDR refers to nothing, so the decoder misses nothing. Until this motion ends its
            // frames stay one step coarser than this one: noisy content costs little down to a
            // quantiser and then several times more, and stepping finer again would only run
            // into the same wall, a dropped frame and a key frame each time.
            motionFloorQp_ = std::min(51, qp + kMotionQpStep);
            return encodeKey(buffer, pts);
        }
        return std::move(sent(std::move(result)).outcome);
    }

    const Bytes& sequenceParameterSet() const { return parameterSets_.front(); }

  private:
    // A scroll moves content further than the session's cheap diamond search looks, and every
    // scrolled line would be coded anew: while one lasts, the search goes wider with a pattern
    // that follows long vertical moves. Other motion, and short scrolls, keep the cheap search.
    void followScroll(std::optional<int> shift) {
        const bool far = shift && std::abs(*shift) > kNearShift;
        const int range = far ? std::min(kWidestSearch, (2 * std::abs(*shift) + 31) / 16 * 16) : 0;
        if (range == searchRange_) {
            return;
        }
        x264_param_t param;
        x264_encoder_parameters(encoder_, &param);
        param.analyse.i_me_method = range > 0 ? X264_ME_UMH : narrowSearch_.first;
        param.analyse.i_me_range = range > 0 ? range : narrowSearch_.second;
        if (const int status = x264_encoder_reconfig(encoder_, &param); status < 0) {
            if (!reconfigFailureLogged_) {
                Log::info("encoder search not changed: " + std::to_string(status));
                reconfigFailureLogged_ = true;
            }
            return;
        }
        searchRange_ = range;
    }

    Session(x264_t* encoder, double bytesPerSecond, int fps)
        : encoder_(encoder),
          bytesPerSecond_(std::max(bytesPerSecond, 1.0)),
          frameShare_(bytesPerSecond_ / std::max(fps, 1)),
          frameBudget_(std::max<std::size_t>(
              static_cast<std::size_t>(bytesPerSecond_ * frameBudgetSeconds), 1)) {
        x264_param_t param;
        x264_encoder_parameters(encoder_, &param);
        narrowSearch_ = {param.analyse.i_me_method, param.analyse.i_me_range};
    }

    struct Attempt {
        EncodeOutcome outcome;
        std::size_t size = 0;  // 0 unless a frame came out
        int qp = 0;
    };

    Attempt encodeOnce(PixelBuffer& buffer, int type, std::optional<int> qp, std::int64_t pts) {
        x264_picture_t input;
        x264_picture_init(&input);
        input.img.i_csp = X264_CSP_NV12;
        input.img.i_plane = 2;
        input.img.plane[0] = buffer.luma();
        input.img.i_stride[0] = buffer.lumaStride();
        input.img.plane[1] = buffer.chroma();
        input.img.i_stride[1] = buffer.chromaStride();
        input.i_type = type;
        // A re-encode of a key frame needs its own, later time stamp.
        input.i_pts = lastPts_ && pts <= *lastPts_ ? *lastPts_ + 1 : pts;
        lastPts_ = input.i_pts;
        if (qp) {
            input.i_qpplus1 = *qp + 1;
        }

        x264_picture_t output;
        x264_nal_t* nals = nullptr;
        int count = 0;
        const int size = x264_encoder_encode(encoder_, &nals, &count, &input, &output);
        if (size < 0) {
            return {EncodeOutcomes::Failed{size}};
        }
        if (size == 0 || count == 0) {
            return {EncodeOutcomes::Dropped{}};
        }
        if (output.i_qpplus1 > 0) {
            lastQp_ = output.i_qpplus1 - 1;
        }
        // x264 lays the units of one picture out back to back, each behind its 4-byte length.
        EncodedFrame frame;
        frame.isKey = output.b_keyframe != 0;
        frame.payload.assign(nals[0].p_payload, nals[0].p_payload + size);
        if (!walkUnits(frame.payload, kPrefixBytes, [](std::size_t, std::uint32_t) {})) {
            return {EncodeOutcomes::Failed{kEncoderMalfunction}};
        }
        if (frame.isKey) {
            frame.parameterSets = parameterSets_;
        }
        return {EncodeOutcomes::Frame{std::move(frame)}, static_cast<std::size_t>(size),
                lastQp_.value_or(0)};
    }

    // A key frame sized for the link, whatever the screen shows and whatever quantiser the
    // refinements reached: the quantiser comes from the size the last key frame had, and an
    // encode that overshoots the budget is done again coarser. An IDR replaces everything
    // before it, so a discarded attempt leaves nothing behind for the decoder.
    EncodeOutcome encodeKey(PixelBuffer& buffer, std::int64_t pts) {
        int qp =
            complexity_ ? qpForSize(kKeyTarget * static_cast<double>(frameBudget_)) : firstKeyQp;
        bool wentFiner = false;
        for (int attempt = 0;; ++attempt) {
            auto result = encodeOnce(buffer, X264_TYPE_IDR, qp, pts);
            if (result.size == 0) {
                return std::move(result.outcome);
            }
            complexity_ = static_cast<double>(result.size) * std::exp2(qp / kQpPerDoubling);
            const bool over = result.size > frameBudget_;
            const bool wasteful = !over && !wentFiner && attempt == 0 &&
                                  result.size * 2 < frameBudget_ && qp > finestKeyQp;
            if ((!over && !wasteful) || attempt + 1 >= maxKeyAttempts || (over && qp >= 51)) {
                return std::move(sent(std::move(result)).outcome);
            }
            const int next = qpForSize(kKeyTarget * static_cast<double>(frameBudget_));
            wentFiner = wasteful;
            qp = over ? std::max(next, qp + 2) : std::clamp(next, finestKeyQp, qp - 1);
        }
    }

    // The quantiser at which an intra picture of the learnt complexity takes `bytes`.
    int qpForSize(double bytes) const {
        const double qp = kQpPerDoubling * std::log2(*complexity_ / std::max(bytes, 1.0));
        return std::clamp(static_cast<int>(std::ceil(qp)), finestRefinementQp, 51);
    }

    double intra(int qp) const { return *complexity_ * std::exp2(-qp / kQpPerDoubling); }

    // The finest quantiser below `last` whose refinement should fit its budget. A refinement
    // pays for the detail an intra picture at the finer quantiser has beyond one at the coarser,
    // times a ratio learnt from the refinements before it.
    int refinementQp(int last) const {
        const double budget = kKeyTarget * bytesPerSecond_ * refinementBudgetSeconds;
        const int coarsest = std::max(finestRefinementQp, last - 1);
        for (int qp = finestRefinementQp; qp < coarsest; ++qp) {
            if (refinementRatio_ * (intra(qp) - intra(last)) <= budget) {
                return qp;
            }
        }
        return std::min(coarsest, last);
    }

    // Whether the last motion frame was less than a quiet spell before this one.
    bool inMotion(std::int64_t pts) const {
        return lastMotion_ && pts - *lastMotion_ < kQuietSpell;
    }

    // What the link has room for in a motion frame: a change after a quiet spell may take the
    // key-frame budget less what is still on its way; frames of continuing motion share the
    // rate so that at least kMotionFps of them fit.
    double motionRoom(bool moving) const {
        double room = static_cast<double>(frameBudget_) - linkBacklog_;
        if (moving) {
            room = std::min(room, bytesPerSecond_ / kMotionFps);
        }
        // Frames that came out larger than planned pile up on the link: the next ones get less
        // than their share until it has caught up.
        return std::max(room, kLeastShare * frameShare_);
    }

    // The finest quantiser whose motion frame should fit `room`.
    int motionQp(double room) const {
        for (int qp = finestRefinementQp; qp < 51; ++qp) {
            if (motionRatio_ * intra(qp) <= room) {
                return qp;
            }
        }
        return 51;
    }

    // What a frame cost against what the model expected, taken as the ratio for the next one.
    // Rising costs are believed at once, falling ones halfway, so that one cheap frame never
    // makes the next one reckless.
    static void learn(double& ratio, const Attempt& result, double modelled, double floor) {
        if (result.size == 0 || modelled <= 1) {
            return;
        }
        const double seen = static_cast<double>(result.size) / modelled;
        ratio = std::clamp(seen >= ratio ? seen : std::sqrt(ratio * seen), floor, 8.0);
    }

    // The link carries bytesPerSecond_; frames that left faster wait in front of the next.
    void drainLink(std::int64_t pts) {
        if (lastDrain_) {
            const double seconds = static_cast<double>(pts - *lastDrain_) / 1e6;
            linkBacklog_ = std::max(0.0, linkBacklog_ - bytesPerSecond_ * std::max(seconds, 0.0));
        }
        lastDrain_ = pts;
    }

    Attempt sent(Attempt result) {
        linkBacklog_ += static_cast<double>(result.size);
        return result;
    }

    // Size of an intra picture doubles about every six quantiser steps.
    static constexpr double kQpPerDoubling = 6.0;
    // Key frames and refinements aim below their budgets: a key frame's overshoot costs a
    // re-encode, a refinement's cannot be undone.
    static constexpr double kKeyTarget = 0.8;
    static constexpr double kRefinementOverhead = 1.4;
    static constexpr double kRefinementRatioFloor = 0.2;
    // The least share of an intra picture at its quantiser a motion frame is assumed to cost.
    static constexpr double kMotionRatioFloor = 0.02;
    static constexpr double kLeastShare = 0.25;
    static constexpr int kMotionQpStep = 2;
    static constexpr double kMotionFps = 30;
    static constexpr std::int64_t kQuietSpell = 250'000;  // microseconds
    // The cheap search still finds a shift of a few rows; the wide one's cross reaches half its
    // range up and down, so the widest covers the farthest shift the detector reports.
    static constexpr int kNearShift = 6;
    static constexpr int kWidestSearch = 2 * ScrollDetector::kMaxShift + 16;

    // The headers hold SPS, PPS and an SEI; keep SPS then PPS as bare NAL units.
    int readParameterSets(const x264_param_t& param) {
        x264_nal_t* nals = nullptr;
        int count = 0;
        if (x264_encoder_headers(encoder_, &nals, &count) < 0) {
            return kEncoderMalfunction;
        }
        for (const int type : {NAL_SPS, NAL_PPS}) {
            const auto* nal = std::find_if(nals, nals + count, [type](const x264_nal_t& n) {
                return n.i_type == type && n.i_payload > static_cast<int>(kPrefixBytes);
            });
            if (nal == nals + count) {
                return kEncoderMalfunction;
            }
            parameterSets_.emplace_back(nal->p_payload + kPrefixBytes,
                                        nal->p_payload + nal->i_payload);
        }
        markConstrainedHigh(parameterSets_.front(), param);
        return 0;
    }

    x264_t* encoder_;
    // The search the session opened with (method, range), and the range of the wide one in use
    // while a scroll lasts (0: none).
    std::pair<int, int> narrowSearch_;
    int searchRange_ = 0;
    bool reconfigFailureLogged_ = false;
    ScrollDetector scroll_;
    const double bytesPerSecond_;
    const double frameShare_;
    // Bytes a key frame may take: a short stretch of the link, so that no frame holds it long.
    const std::size_t frameBudget_;
    std::vector<Bytes> parameterSets_;
    // Average quantiser of the last frame out; a refinement goes below it.
    std::optional<int> lastQp_;
    std::optional<std::int64_t> lastPts_;
    // Bytes an intra picture of the current screen would take at quantiser 0, learnt from the
    // last key frame.
    std::optional<double> complexity_;
    double refinementRatio_ = kRefinementOverhead;
    double motionRatio_ = 1.0;
    // Bytes handed out that the link has not carried yet, as of lastDrain_ (microseconds).
    double linkBacklog_ = 0;
    std::optional<std::int64_t> lastDrain_;
    std::optional<std::int64_t> lastMotion_;
    int lastMotionQp_ = firstKeyQp;
    // The finest quantiser the current motion may use, after one of its frames overflowed.
    std::optional<int> motionFloorQp_;
};

// The one-picture hand-off between the caller's queue and the worker thread.
struct VideoEncoder::HandOff {
    struct Job {
        PixelBufferRef buffer;
        EncodeRequest request;
        std::int64_t pts = 0;
        std::shared_ptr<CallOnce> done;
    };

    std::mutex mutex;
    std::condition_variable ready;
    std::optional<Job> slot;
    bool stopping = false;
    std::optional<std::int64_t> lastPts;
};

std::vector<VideoEncoder::Setup> VideoEncoder::defaultSetups() {
    return {
        // ultrafast alone gives Constrained Baseline; CABAC and the 8x8 transform make it High
        // at a fraction of the next preset's cost.
        Setup{"ultrafast", "zerolatency", {{"cabac", "1"}, {"8x8dct", "1"}}, 0, true, "high"},
        // Nothing beyond what the stream needs: a single thread, no slices, no tuning.
        Setup{"ultrafast", "", {}, 1, false, "baseline"},
    };
}

std::unique_ptr<VideoEncoder> VideoEncoder::create(int width, int height,
                                                   const StreamConfig& config) {
    return create(width, height, config, defaultSetups());
}

std::unique_ptr<VideoEncoder> VideoEncoder::create(int width, int height,
                                                   const StreamConfig& config,
                                                   const std::vector<Setup>& setups) {
    for (std::size_t i = 0; i < setups.size(); ++i) {
        auto [session, status] = Session::open(width, height, config, setups[i]);
        if (session) {
            if (i > 0) {
                Log::info("H.264 encoder uses the simpler setup: " +
                          profileName(session->sequenceParameterSet()) + " profile");
            }
            return std::unique_ptr<VideoEncoder>(
                new VideoEncoder(width, height, std::move(session)));
        }
        if (i + 1 < setups.size()) {
            Log::info("H.264 encoder setup failed (" + std::to_string(status) +
                      "), trying a simpler setup");
        }
    }
    return nullptr;
}

VideoEncoderFactory VideoEncoder::factory() {
    return [](int width, int height, const StreamConfig& config) -> std::unique_ptr<VideoEncoding> {
        return create(width, height, config);
    };
}

VideoEncoder::VideoEncoder(int width, int height, std::unique_ptr<Session> session)
    : width_(width), height_(height), handOff_(std::make_shared<HandOff>()) {
    worker_ = std::thread(run, handOff_, std::move(session));
    pthread_setname_np(worker_.native_handle(), "quelmix.encode");
}

VideoEncoder::~VideoEncoder() {
    invalidate();
}

void VideoEncoder::run(std::shared_ptr<HandOff> handOff, std::unique_ptr<Session> session) {
    for (;;) {
        HandOff::Job job;
        {
            std::unique_lock lock(handOff->mutex);
            handOff->ready.wait(lock, [&] { return handOff->stopping || handOff->slot; });
            if (handOff->stopping) {
                return;
            }
            job = std::move(*handOff->slot);
            handOff->slot.reset();
        }
        EncodeOutcome outcome = session->encode(*job.buffer, job.request, job.pts);
        job.buffer.reset();  // back to its pool before the next picture is asked for
        job.done->deliver(std::move(outcome));
    }
}

void VideoEncoder::encode(PixelBufferRef buffer, EncodeRequest request, Completion completion) {
    auto done = std::make_shared<CallOnce>(std::move(completion));
    std::optional<EncodeOutcome> refusal;
    {
        std::lock_guard lock(handOff_->mutex);
        if (handOff_->stopping) {
            refusal = EncodeOutcomes::Failed{kEncoderInvalidSession};
        } else if (!buffer || buffer->width() != width_ || buffer->height() != height_) {
            refusal = EncodeOutcomes::Failed{kEncoderBadPicture};
        } else if (handOff_->slot) {
            refusal = EncodeOutcomes::Dropped{};
        } else {
            // Microseconds on the monotonic clock, strictly increasing within one tick.
            auto pts = static_cast<std::int64_t>(std::llround(monotonicSeconds() * 1e6));
            if (handOff_->lastPts && pts <= *handOff_->lastPts) {
                pts = *handOff_->lastPts + 1;
            }
            handOff_->lastPts = pts;
            handOff_->slot = HandOff::Job{std::move(buffer), request, pts, done};
        }
    }
    if (refusal) {
        done->deliver(std::move(*refusal));
        return;
    }
    handOff_->ready.notify_one();
}

void VideoEncoder::invalidate() {
    std::optional<HandOff::Job> waiting;
    {
        std::lock_guard lock(handOff_->mutex);
        if (handOff_->stopping) {
            return;
        }
        handOff_->stopping = true;
        waiting = std::exchange(handOff_->slot, std::nullopt);
    }
    handOff_->ready.notify_all();
    if (waiting) {
        waiting->done->deliver(EncodeOutcomes::Failed{kEncoderInvalidSession});
    }
    // Only the caller that stopped the session gets here. The wait is at most one encode in
    // progress. From inside a completion the worker is this thread: it ends on its own once the
    // completion returns, and closes the session as it goes.
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else if (worker_.joinable()) {
        worker_.join();
    }
}

std::string VideoEncoder::profileName(const Bytes& sps) {
    if (sps.size() < 4) {
        return "unknown";
    }
    const int profile = sps[1];
    const std::uint8_t constraints = sps[2];
    const bool set1 = (constraints & 0x40) != 0;
    const bool set4And5 = (constraints & 0x0C) == 0x0C;
    switch (profile) {
        case 66:
            return set1 ? "Constrained Baseline" : "Baseline";
        case 77:
            return "Main";
        case 100:
            return set4And5 ? "Constrained High" : "High";
        default:
            return "profile " + std::to_string(profile);
    }
}

std::optional<Bytes> VideoEncoder::rewriteLengths(const Bytes& data, int from) {
    if (from < 1 || from > 3) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(data.size() + data.size() / 64 + 16);
    const bool whole = walkUnits(
        data, static_cast<std::size_t>(from), [&](std::size_t begin, std::uint32_t length) {
            appendLength(out, length);
            out.insert(out.end(), data.begin() + begin, data.begin() + begin + length);
        });
    if (!whole) {
        return std::nullopt;
    }
    return out;
}

}  // namespace quelm
