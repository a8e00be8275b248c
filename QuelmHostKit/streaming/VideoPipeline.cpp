#include "QuelmHostKit/streaming/VideoPipeline.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

std::uint16_t clampedDimension(int value) {
    return static_cast<std::uint16_t>(std::clamp(value, 0, 65535));
}

// Rounded down to even, at least 2.
std::int64_t evenAtLeastTwo(std::int64_t value) {
    return std::max<std::int64_t>(value / 2 * 2, 2);
}

}  // namespace

std::shared_ptr<VideoPipeline> VideoPipeline::make(std::shared_ptr<SerialQueue> queue,
                                                   VideoEncoderFactory makeEncoder) {
    return std::shared_ptr<VideoPipeline>(
        new VideoPipeline(std::move(queue), std::move(makeEncoder)));
}

VideoPipeline::VideoPipeline(std::shared_ptr<SerialQueue> queue, VideoEncoderFactory makeEncoder)
    : queue_(std::move(queue)), makeEncoder_(std::move(makeEncoder)) {}

VideoPipeline::~VideoPipeline() {
    // Tasks, timers and completions hold the pipeline weakly: none can reach it any more.
    dropEncoder();
    dropSpare();
}

void VideoPipeline::enqueue(std::function<void(VideoPipeline&)> work) {
    queue_->async(weakCallback(shared_from_this(), std::move(work)));
}

void VideoPipeline::setOnFrame(FrameHandler onFrame) {
    enqueue([onFrame = std::move(onFrame)](VideoPipeline& self) { self.onFrame_ = onFrame; });
}

void VideoPipeline::setOnTimes(std::function<void(const FrameTimes&)> onTimes) {
    enqueue([onTimes = std::move(onTimes)](VideoPipeline& self) { self.onTimes_ = onTimes; });
}

void VideoPipeline::configure(int width, int height, const StreamConfig& config) {
    enqueue([width, height, config](VideoPipeline& self) {
        self.resetState();
        self.width_ = width;
        self.height_ = height;
        self.config_ = config;
        self.creationFailureLogged_ = false;
        if (self.spareFits(width, height, config)) {
            self.encoder_ = std::move(self.spare_);
        } else {
            self.dropSpare();
            self.createEncoder();
        }
    });
}

void VideoPipeline::prepare(int width, int height, const StreamConfig& config) {
    enqueue([width, height, config](VideoPipeline& self) {
        if (self.config_ || !self.makeEncoder_ || self.spareFits(width, height, config)) {
            return;
        }
        self.dropSpare();
        self.spare_ = self.makeEncoder_(width, height, config);
        self.spareSize_ = {width, height};
        self.spareConfig_ = config;
    });
}

void VideoPipeline::discardPrepared() {
    enqueue([](VideoPipeline& self) { self.dropSpare(); });
}

void VideoPipeline::submit(PixelBufferRef buffer) {
    enqueue([buffer = std::move(buffer)](VideoPipeline& self) {
        if (self.width_ < 1 || !buffer) {
            return;
        }
        // After a size change, capture may still deliver pictures of the old size for a while.
        if (buffer->width() != self.width_ || buffer->height() != self.height_) {
            return;
        }
        self.pending_ = buffer;
        self.pump();
    });
}

void VideoPipeline::acknowledge() {
    enqueue([](VideoPipeline& self) {
        self.gate_.acknowledge();
        self.acks_.acknowledged(self.queue_->now());
        self.pump();  // a held frame goes out first
    });
}

void VideoPipeline::requestKeyFrame() {
    enqueue([](VideoPipeline& self) {
        self.needsKeyFrame_ = true;
        if (!self.pending_) {
            // Re-queued as a new picture, so its refinement passes restart.
            self.pending_ = self.current_;
        }
        self.pump();
    });
}

void VideoPipeline::shutdown() {
    enqueue([](VideoPipeline& self) {
        self.resetState();
        self.width_ = 0;
        self.height_ = 0;
        self.config_.reset();
    });
}

void VideoPipeline::resetState() {
    ++epoch_;
    dropEncoder();
    gate_.reset();
    acks_.forgetOutstanding();
    held_.reset();
    pending_.reset();
    current_.reset();
    needsKeyFrame_ = true;
    encoding_ = false;
    ++refinementToken_;
    refinementsLeft_ = 0;
    refinementDue_ = false;
    nextRefinementDelay_ = refinementDelay;
}

void VideoPipeline::dropEncoder() {
    if (encoder_) {
        encoder_->invalidate();
        encoder_.reset();
    }
}

bool VideoPipeline::spareFits(int width, int height, const StreamConfig& config) const {
    return spare_ && spareSize_ == Size{width, height} && spareConfig_ == config;
}

void VideoPipeline::dropSpare() {
    if (spare_) {
        spare_->invalidate();
        spare_.reset();
    }
}

bool VideoPipeline::createEncoder() {
    encoder_ = makeEncoder_ ? makeEncoder_(width_, height_, *config_) : nullptr;
    if (encoder_) {
        creationFailureLogged_ = false;
        return true;
    }
    if (!creationFailureLogged_) {
        Log::info("could not create the H.264 encoder (" + std::to_string(width_) + "x" +
                  std::to_string(height_) + ")");
        creationFailureLogged_ = true;
    }
    return false;
}

void VideoPipeline::pump() {
    if (encoding_ || width_ < 1 || !config_) {
        return;
    }
    const double now = queue_->now();
    if (held_) {
        // The held frame goes out with the next acknowledgement, unless the companion stalled.
        switch (gate_.evaluate(now)) {
            case FrameGate::Decision::wait:
                scheduleStallCheck();
                return;
            case FrameGate::Decision::send:
                gate_.markSent(now);
                deliver(*std::exchange(held_, std::nullopt));
                break;
            case FrameGate::Decision::sendAfterReset:
                restartAfterStall();
                held_.reset();
                if (!pending_) {
                    pending_ = current_;  // its picture goes again, as the key frame
                }
                break;
        }
    }
    PixelBufferRef picture;
    bool fresh = false;
    if (pending_) {
        picture = pending_;
        fresh = true;
    } else if (refinementDue_ && current_) {
        picture = current_;
    } else {
        return;
    }

    bool ahead = false;
    switch (gate_.evaluate(now)) {
        case FrameGate::Decision::wait:
            scheduleStallCheck();
            if (!encodeAheadDue(now)) {
                return;
            }
            ahead = true;
            break;
        case FrameGate::Decision::sendAfterReset:
            restartAfterStall();
            break;
        case FrameGate::Decision::send:
            break;
    }

    if (!encoder_) {
        needsKeyFrame_ = true;
        if (!createEncoder()) {
            // The next picture or refinement retries.
            pending_.reset();
            return;
        }
    }
    startEncode(std::move(picture), fresh, now, ahead);
}

bool VideoPipeline::encodeAheadDue(double now) {
    const auto expected = acks_.nextAcknowledgement();
    if (!expected) {
        return false;  // nothing learned yet: wait for the acknowledgement itself
    }
    const double start = *expected - encodeSeconds_;
    if (now >= start) {
        return true;
    }
    if (!aheadCheckArmed_) {
        aheadCheckArmed_ = true;
        queue_->after(start - now, weakCallback(shared_from_this(), [](VideoPipeline& self) {
                          self.aheadCheckArmed_ = false;
                          self.pump();
                      }));
    }
    return false;
}

void VideoPipeline::restartAfterStall() {
    Log::info("no acknowledgement from the phone; restarting with a key frame");
    needsKeyFrame_ = true;
    acks_.forgetOutstanding();
}

void VideoPipeline::startEncode(PixelBufferRef picture, bool fresh, double now, bool ahead) {
    if (fresh) {
        pending_.reset();
        current_ = picture;
        ++refinementToken_;
        refinementsLeft_ = 0;
    }
    refinementDue_ = false;
    bool forceKey = needsKeyFrame_;
    needsKeyFrame_ = false;
    encoding_ = true;
    encodeStartedAt_ = now;
    // The slot is taken when the encode starts, not when the frame is sent; a frame encoded
    // ahead takes the slot its acknowledgement frees.
    if (!ahead) {
        gate_.markSent(now);
    }

    // The completion may run synchronously or on an encoder thread; it holds nothing strongly
    // and always comes back through the queue.
    auto completion = [weak = weak_from_this(), weakQueue = std::weak_ptr<SerialQueue>(queue_),
                       epoch = epoch_, fresh, forceKey, ahead](EncodeOutcome outcome) {
        auto queue = weakQueue.lock();
        if (!queue || weak.expired()) {
            return;
        }
        queue->async([weak, outcome = std::move(outcome), epoch, fresh, forceKey, ahead]() mutable {
            if (auto self = weak.lock()) {
                self->finished(std::move(outcome), epoch, fresh, forceKey, ahead);
            }
        });
    };
    encoder_->encode(std::move(picture), EncodeRequest{.forceKey = forceKey, .refinement = !fresh},
                     std::move(completion));
}

void VideoPipeline::finished(EncodeOutcome outcome, std::uint64_t epoch, bool fresh, bool wasKey,
                             bool ahead) {
    if (epoch != epoch_) {
        return;  // started before a reset, which already cleared `encoding_`
    }
    encoding_ = false;
    encodeSeconds_ += encodeTimeWeight * (queue_->now() - encodeStartedAt_ - encodeSeconds_);
    std::visit(
        [&](auto& result) {
            using Result = std::decay_t<decltype(result)>;
            if constexpr (std::is_same_v<Result, EncodeOutcomes::Frame>) {
                nextRefinementDelay_ = refinementSpacing(result.frame, fresh);
                if (ahead) {
                    held_ = std::move(result.frame);  // the pump below sends it if it may
                } else {
                    deliver(result.frame);
                }
                if (fresh) {
                    refinementsLeft_ = refinementPasses;
                }
            } else if constexpr (std::is_same_v<Result, EncodeOutcomes::Failed>) {
                Log::info("encode failed: " + std::to_string(result.status));
                if (!ahead) {
                    gate_.acknowledge();  // the failed frame will never be acknowledged
                }
                needsKeyFrame_ = true;
                dropEncoder();
                refinementsLeft_ = std::max(refinementsLeft_, 1);
            } else {
                if (!ahead) {
                    gate_.acknowledge();
                }
                if (wasKey) {
                    needsKeyFrame_ = true;
                }
                refinementsLeft_ = std::max(refinementsLeft_, 1);
            }
        },
        outcome);
    scheduleRefinement();
    pump();
}

void VideoPipeline::deliver(const EncodedFrame& encoded) {
    acks_.sent(queue_->now());
    ++seq_;  // wraps after 4294967295, even when nobody listens
    if (!onFrame_) {
        return;
    }
    VideoFrame frame;
    frame.seq = seq_;
    frame.width = clampedDimension(width_);
    frame.height = clampedDimension(height_);
    frame.isKey = encoded.isKey;
    if (encoded.isKey) {
        frame.parameterSets = encoded.parameterSets;
    }
    frame.payload = encoded.payload;
    onFrame_(std::move(frame));
    if (onTimes_ && encoded.times.encoded > 0) {
        onTimes_(encoded.times);
    }
}

double VideoPipeline::refinementSpacing(const EncodedFrame& frame, bool fresh) const {
    if (fresh && !frame.isKey) {
        return refinementDelay;  // wait for the screen to stop changing
    }
    // A key frame or a refinement starts the sharpening of a still screen: the next pass
    // follows once the link has carried this one, not later.
    std::size_t bytes = frame.payload.size();
    for (const auto& set : frame.parameterSets) {
        bytes += set.size();
    }
    const double bitsPerSecond = std::max(config_->bitrateMbps, 0.01) * 1e6;
    const double onTheLink = static_cast<double>(bytes) * 8.0 / bitsPerSecond;
    return std::clamp(onTheLink, 1.0 / std::max<std::int64_t>(config_->fps, 1), refinementDelay);
}

void VideoPipeline::scheduleRefinement() {
    if (refinementsLeft_ < 1 || pending_) {
        return;  // a new picture will be encoded anyway
    }
    const double delay = std::exchange(nextRefinementDelay_, refinementDelay);
    // Timers are never cancelled; a changed token makes this one void.
    queue_->after(delay,
                  weakCallback(shared_from_this(), [token = refinementToken_](VideoPipeline& self) {
                      if (self.refinementToken_ != token || self.refinementsLeft_ < 1 ||
                          self.pending_ || !self.current_) {
                          return;
                      }
                      --self.refinementsLeft_;
                      self.refinementDue_ = true;
                      self.pump();
                  }));
}

void VideoPipeline::scheduleStallCheck() {
    if (stallCheckScheduled_) {
        return;
    }
    stallCheckScheduled_ = true;
    queue_->after(gateTimeout + stallCheckMargin,
                  weakCallback(shared_from_this(), [](VideoPipeline& self) {
                      self.stallCheckScheduled_ = false;
                      self.pump();
                  }));
}

VideoPipeline::Size VideoPipeline::outputSize(int pixelWidth, int pixelHeight,
                                              std::int64_t maxEdge) {
    std::int64_t w = std::max<std::int64_t>(pixelWidth, 1);
    std::int64_t h = std::max<std::int64_t>(pixelHeight, 1);
    std::int64_t longest = std::max(w, h);
    std::int64_t shortest = std::min(w, h);
    if (maxEdge <= 0 || maxEdge >= longest) {
        return {static_cast<int>(evenAtLeastTwo(w)), static_cast<int>(evenAtLeastTwo(h))};
    }
    std::int64_t l = evenAtLeastTwo(maxEdge);
    double half =
        static_cast<double>(l) * static_cast<double>(shortest) / static_cast<double>(longest) * 0.5;
    auto s = static_cast<std::int64_t>(2.0 * std::round(half));  // std::round: half away from 0
    s = s < 2 ? 2 : std::min(s, l);
    if (w >= h) {
        return {static_cast<int>(l), static_cast<int>(s)};
    }
    return {static_cast<int>(s), static_cast<int>(l)};
}

}  // namespace quelm
