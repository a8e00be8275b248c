#include "tests/fakes/ScriptedEncoder.hpp"

#include <stdexcept>
#include <utility>

namespace quelm::test {

struct ScriptedEncoder::State {
    mutable std::mutex mutex;
    bool creationFails = false;
    std::optional<EncodeOutcome> autoOutcome;
    std::vector<Creation> creations;
    std::size_t invalidations = 0;
    std::vector<Encode> encodes;
    std::deque<VideoEncoding::Completion> waiting;
};

namespace {

class ScriptedSession final : public VideoEncoding {
  public:
    ScriptedSession(std::shared_ptr<ScriptedEncoder::State> state, std::size_t index)
        : state_(std::move(state)), index_(index) {}

    void encode(PixelBufferRef buffer, EncodeRequest request, Completion completion) override {
        std::optional<EncodeOutcome> now;
        {
            std::lock_guard lock(state_->mutex);
            state_->encodes.push_back(
                {std::move(buffer), request.forceKey, index_, request.refinement});
            if (!valid_) {
                now = EncodeOutcomes::Failed{kEncoderInvalidSession};
            } else if (state_->autoOutcome) {
                now = state_->autoOutcome;
            } else {
                state_->waiting.push_back(std::move(completion));
                return;
            }
        }
        completion(std::move(*now));
    }

    void invalidate() override {
        std::lock_guard lock(state_->mutex);
        if (valid_) {
            valid_ = false;
            ++state_->invalidations;
        }
    }

  private:
    std::shared_ptr<ScriptedEncoder::State> state_;
    std::size_t index_;
    bool valid_ = true;  // touched only under the state's mutex
};

}  // namespace

ScriptedEncoder::ScriptedEncoder() : state_(std::make_shared<State>()) {}

VideoEncoderFactory ScriptedEncoder::factory() const {
    return [state = state_](int width, int height,
                            const StreamConfig& config) -> std::unique_ptr<VideoEncoding> {
        std::lock_guard lock(state->mutex);
        if (state->creationFails) {
            return nullptr;
        }
        state->creations.push_back({width, height, config});
        return std::make_unique<ScriptedSession>(state, state->creations.size() - 1);
    };
}

void ScriptedEncoder::setCreationFails(bool fails) {
    std::lock_guard lock(state_->mutex);
    state_->creationFails = fails;
}

void ScriptedEncoder::setAutoOutcome(std::optional<EncodeOutcome> outcome) {
    std::lock_guard lock(state_->mutex);
    state_->autoOutcome = std::move(outcome);
}

std::vector<ScriptedEncoder::Creation> ScriptedEncoder::creations() const {
    std::lock_guard lock(state_->mutex);
    return state_->creations;
}

std::size_t ScriptedEncoder::invalidations() const {
    std::lock_guard lock(state_->mutex);
    return state_->invalidations;
}

std::size_t ScriptedEncoder::encodeCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->encodes.size();
}

ScriptedEncoder::Encode ScriptedEncoder::encodeAt(std::size_t index) const {
    std::lock_guard lock(state_->mutex);
    if (index >= state_->encodes.size()) {
        throw std::out_of_range("no such encode");
    }
    return state_->encodes[index];
}

std::vector<bool> ScriptedEncoder::forceKeys() const {
    std::lock_guard lock(state_->mutex);
    std::vector<bool> keys;
    for (const auto& encode : state_->encodes) {
        keys.push_back(encode.forceKey);
    }
    return keys;
}

std::size_t ScriptedEncoder::outstanding() const {
    std::lock_guard lock(state_->mutex);
    return state_->waiting.size();
}

bool ScriptedEncoder::complete(EncodeOutcome outcome) {
    VideoEncoding::Completion completion;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->waiting.empty()) {
            return false;
        }
        completion = std::move(state_->waiting.front());
        state_->waiting.pop_front();
    }
    completion(std::move(outcome));
    return true;
}

EncodeOutcome ScriptedEncoder::frame(bool isKey, Bytes payload, std::vector<Bytes> parameterSets) {
    return EncodeOutcomes::Frame{EncodedFrame{isKey, std::move(parameterSets), std::move(payload)}};
}

EncodeOutcome ScriptedEncoder::failed(std::int32_t status) {
    return EncodeOutcomes::Failed{status};
}

EncodeOutcome ScriptedEncoder::dropped() {
    return EncodeOutcomes::Dropped{};
}

}  // namespace quelm::test
