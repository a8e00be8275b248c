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
    MeasuredEncoder(std::unique_ptr<VideoEncoding> inner, std::weak_ptr<EncodeLatencyMeter> meter)
        : inner_(std::move(inner)), meter_(std::move(meter)) {}

    void encode(PixelBufferRef buffer, EncodeRequest request, Completion completion) override {
        const double changedAt = buffer ? buffer->changedAt() : 0;
        const double grabbedAt = buffer ? buffer->grabbedAt() : 0;
        // Each picture is measured once, not again for its refinements.
        const bool fresh = changedAt > 0 && grabbedAt != lastGrab_;
        lastGrab_ = grabbedAt;
        if (!fresh) {
            inner_->encode(std::move(buffer), request, std::move(completion));
            return;
        }
        inner_->encode(std::move(buffer), request,
                       [meter = meter_, changedAt, grabbedAt,
                        completion = std::move(completion)](EncodeOutcome outcome) {
                           if (std::holds_alternative<EncodeOutcomes::Frame>(outcome)) {
                               if (auto strong = meter.lock()) {
                                   strong->record(changedAt, grabbedAt, monotonicSeconds());
                               }
                           }
                           completion(std::move(outcome));
                       });
    }

    void invalidate() override { inner_->invalidate(); }

  private:
    std::unique_ptr<VideoEncoding> inner_;
    std::weak_ptr<EncodeLatencyMeter> meter_;
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
        [factory = std::move(factory), meter = weak_from_this()](
            int width, int height, const StreamConfig& config) -> std::unique_ptr<VideoEncoding> {
            auto inner = factory ? factory(width, height, config) : nullptr;
            if (!inner) {
                return nullptr;
            }
            return std::make_unique<MeasuredEncoder>(std::move(inner), meter);
        };
}

void EncodeLatencyMeter::record(double changedAt, double grabbedAt, double now) {
    std::vector<double> change;
    std::vector<double> grab;
    {
        std::lock_guard lock(mutex_);
        sinceChange_.push_back(std::max(0.0, now - changedAt));
        sinceGrab_.push_back(std::max(0.0, now - grabbedAt));
        if (windowStart_ == 0) {
            windowStart_ = now;
        }
        if (now - windowStart_ < window) {
            return;
        }
        change.swap(sinceChange_);
        grab.swap(sinceGrab_);
        windowStart_ = now;
    }
    auto percentiles = [](std::vector<double>& values) {
        std::sort(values.begin(), values.end());
        auto at = [&](double fraction) {
            return values[std::min(values.size() - 1,
                                   static_cast<std::size_t>(fraction * values.size()))];
        };
        return "p50 " + milliseconds(at(0.5)) + "ms, p95 " + milliseconds(at(0.95)) + "ms";
    };
    Log::info("video latency: change to encoded " + percentiles(change) + "; read to encoded " +
              percentiles(grab) + "; " + std::to_string(change.size()) + " frames");
}

}  // namespace quelm
