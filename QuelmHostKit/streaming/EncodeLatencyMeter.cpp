#include "QuelmHostKit/streaming/EncodeLatencyMeter.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

namespace {

class MeasuredEncoder final : public VideoEncoding {
  public:
    explicit MeasuredEncoder(std::unique_ptr<VideoEncoding> inner) : inner_(std::move(inner)) {}

    void encode(PixelBufferRef buffer, EncodeRequest request, Completion completion) override {
        FrameTimes times = buffer ? buffer->times() : FrameTimes{};
        // Each picture is measured once, not again for its refinements.
        const bool fresh = times.changed > 0 && times.grabStarted != lastGrab_;
        lastGrab_ = times.grabStarted;
        if (!fresh) {
            inner_->encode(std::move(buffer), request, std::move(completion));
            return;
        }
        times.encodeIn = monotonicSeconds();
        inner_->encode(std::move(buffer), request,
                       [times, completion = std::move(completion)](EncodeOutcome outcome) mutable {
                           if (auto* frame = std::get_if<EncodeOutcomes::Frame>(&outcome)) {
                               frame->frame.times = times;
                               frame->frame.times.encoded = monotonicSeconds();
                           }
                           completion(std::move(outcome));
                       });
    }

    void invalidate() override { inner_->invalidate(); }

  private:
    std::unique_ptr<VideoEncoding> inner_;
    double lastGrab_ = 0;
};

std::string milliseconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds * 1000);
    return text;
}

}  // namespace

std::shared_ptr<EncodeLatencyMeter> EncodeLatencyMeter::make() {
    return std::shared_ptr<EncodeLatencyMeter>(new EncodeLatencyMeter());
}

VideoEncoderFactory EncodeLatencyMeter::wrap(VideoEncoderFactory factory) {
    return
        [factory = std::move(factory)](
            int width, int height, const StreamConfig& config) -> std::unique_ptr<VideoEncoding> {
            auto inner = factory ? factory(width, height, config) : nullptr;
            if (!inner) {
                return nullptr;
            }
            return std::make_unique<MeasuredEncoder>(std::move(inner));
        };
}

void EncodeLatencyMeter::record(const FrameTimes& t) {
    if (t.changed <= 0 || t.encoded <= 0) {
        return;
    }
    const double sent = t.sent > 0 ? t.sent : t.encoded;
    const std::array<double, kSeries> values{
        t.encoded - t.changed,     t.encoded - t.grabStarted, sent - t.changed,
        t.grabStarted - t.changed, t.grabbed - t.grabStarted, t.converted - t.grabbed,
        t.encodeIn - t.converted,  t.encoded - t.encodeIn,    sent - t.encoded,
    };
    std::array<std::vector<double>, kSeries> full;
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < kSeries; ++i) {
            series_[i].push_back(std::max(0.0, values[i]));
        }
        if (windowStart_ == 0) {
            windowStart_ = sent;
        }
        if (sent - windowStart_ < window) {
            return;
        }
        full.swap(series_);
        windowStart_ = sent;
    }
    auto at = [](std::vector<double>& values, double fraction) {
        return values[std::min(values.size() - 1,
                               static_cast<std::size_t>(fraction * values.size()))];
    };
    std::array<std::string, kSeries> p50;
    std::array<std::string, kSeries> p95;
    for (std::size_t i = 0; i < kSeries; ++i) {
        std::sort(full[i].begin(), full[i].end());
        p50[i] = milliseconds(at(full[i], 0.5));
        p95[i] = milliseconds(at(full[i], 0.95));
    }
    auto pair = [&](std::size_t i) { return p50[i] + "/" + p95[i]; };
    Log::info("video latency: change to encoded p50 " + p50[0] + "ms, p95 " + p95[0] +
              "ms; read to encoded p50 " + p50[1] + "ms, p95 " + p95[1] +
              "ms; change to sent p50 " + p50[2] + "ms, p95 " + p95[2] +
              "ms; stages p50/p95 ms: wait " + pair(3) + ", grab " + pair(4) + ", convert " +
              pair(5) + ", queue " + pair(6) + ", encode " + pair(7) + ", hand-over " + pair(8) +
              "; " + std::to_string(full[0].size()) + " frames");
}

}  // namespace quelm
