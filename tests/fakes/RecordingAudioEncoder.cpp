#include "tests/fakes/RecordingAudioEncoder.hpp"

namespace quelm::test {

struct RecordingAudioEncoder::State {
    std::mutex mutex;
    bool creationFails = false;
    std::vector<std::int64_t> creations;
    std::vector<std::size_t> encodedFrames;
};

namespace {

class Encoder final : public AudioEncoding {
  public:
    Encoder(std::shared_ptr<RecordingAudioEncoder::State> state, std::int64_t kbps)
        : state_(std::move(state)), kbps_(kbps) {}

    std::int64_t kbps() const override { return kbps_; }

    std::optional<AudioPacket> encode(const AudioSamples& samples) override {
        {
            std::lock_guard lock(state_->mutex);
            state_->encodedFrames.push_back(samples.frames());
        }
        AudioPacket packet;
        packet.seq = seq_++;
        if (packet.seq == 0) {
            packet.cookie = {0x12, 0x10};
        }
        packet.units.push_back(Bytes(8, static_cast<std::uint8_t>(kbps_)));
        return packet;
    }

  private:
    std::shared_ptr<RecordingAudioEncoder::State> state_;
    std::int64_t kbps_;
    std::uint32_t seq_ = 0;
};

}  // namespace

RecordingAudioEncoder::RecordingAudioEncoder() : state_(std::make_shared<State>()) {}

AudioEncoderFactory RecordingAudioEncoder::factory() const {
    return [state = state_](std::int64_t kbps) -> std::unique_ptr<AudioEncoding> {
        std::lock_guard lock(state->mutex);
        if (state->creationFails) {
            return nullptr;
        }
        state->creations.push_back(kbps);
        return std::make_unique<Encoder>(state, kbps);
    };
}

void RecordingAudioEncoder::setCreationFails(bool fails) {
    std::lock_guard lock(state_->mutex);
    state_->creationFails = fails;
}

std::vector<std::int64_t> RecordingAudioEncoder::creations() const {
    std::lock_guard lock(state_->mutex);
    return state_->creations;
}

std::vector<std::size_t> RecordingAudioEncoder::encodedFrames() const {
    std::lock_guard lock(state_->mutex);
    return state_->encodedFrames;
}

}  // namespace quelm::test
