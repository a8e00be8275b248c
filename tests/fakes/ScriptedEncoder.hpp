#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "QuelmCore/StreamConfig.hpp"
#include "QuelmHostKit/streaming/VideoEncoding.hpp"

namespace quelm::test {

// Hands out scripted encoders and records what they are asked: every creation and every encode
// with its picture and key-frame flag. The test decides each outcome, at once (an automatic
// outcome, delivered synchronously inside encode) or later from any thread (complete()).
// Thread-safe. The encoders share the script's state, so they may outlive this handle.
class ScriptedEncoder {
  public:
    struct Creation {
        int width = 0;
        int height = 0;
        StreamConfig config;
    };
    struct Encode {
        PixelBufferRef buffer;
        bool forceKey = false;
        // Index of the encoder (in creation order) that received it.
        std::size_t encoder = 0;
        bool refinement = false;
    };

    ScriptedEncoder();

    VideoEncoderFactory factory() const;

    // While set, creation fails and the factory returns nothing.
    void setCreationFails(bool fails);
    // While set, every encode completes synchronously with this outcome.
    void setAutoOutcome(std::optional<EncodeOutcome> outcome);

    std::vector<Creation> creations() const;
    std::size_t invalidations() const;
    std::size_t encodeCount() const;
    Encode encodeAt(std::size_t index) const;
    std::vector<bool> forceKeys() const;
    // Encodes whose completion has not been called yet.
    std::size_t outstanding() const;

    // Completes the oldest outstanding encode; false when none is outstanding.
    bool complete(EncodeOutcome outcome);

    static EncodeOutcome frame(bool isKey, Bytes payload = {0, 0, 0, 1, 0x65},
                               std::vector<Bytes> parameterSets = {});
    static EncodeOutcome failed(std::int32_t status);
    static EncodeOutcome dropped();

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace quelm::test
