#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/ClipImageFormat.hpp"

namespace quelm {

// One piece of a clipboard image as a binary message (tag 4); the payload runs to the end of
// the message.
struct ClipChunk {
    static constexpr std::uint8_t tag = 4;
    // Payload size of every chunk but the last, and the largest a decoder accepts.
    static constexpr std::size_t payloadBytes = 32768;
    // Most chunks of one transfer: 320 x 32768 bytes is the image size limit.
    static constexpr std::uint16_t maxCount = 320;
    static constexpr std::size_t headerBytes = 10;

    std::uint32_t transfer = 0;
    std::uint16_t index = 0;
    std::uint16_t count = 0;
    ClipImageFormat format = ClipImageFormat::png;
    Bytes payload;

    // The fields as given: index, count and payload size are not checked.
    Bytes encoded() const;
    // Nothing unless 1 <= count <= 320, index < count and the payload has 1 to 32768 bytes.
    static std::optional<ClipChunk> decode(std::span<const std::uint8_t> message);

    friend bool operator==(const ClipChunk&, const ClipChunk&) = default;
};

}  // namespace quelm
