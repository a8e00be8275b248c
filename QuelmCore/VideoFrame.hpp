#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "QuelmCore/Bytes.hpp"

namespace quelm {

// One compressed video frame as a binary message (tag 2).
struct VideoFrame {
    static constexpr std::uint8_t tag = 2;

    std::uint32_t seq = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool isKey = false;
    // Key frames: sequence then picture parameter set, bare NAL units; empty otherwise.
    std::vector<Bytes> parameterSets;
    // NAL units, each preceded by its length as 4 bytes big-endian.
    Bytes payload;

    // The message bytes, in one allocation; nothing when the frame cannot be expressed (more
    // than 255 parameter sets, one longer than 65535 bytes, or a payload over 4294967295).
    std::optional<Bytes> encoded() const;
    // Nothing on any violation; bytes after the payload are ignored.
    static std::optional<VideoFrame> decode(std::span<const std::uint8_t> message);

    friend bool operator==(const VideoFrame&, const VideoFrame&) = default;
};

}  // namespace quelm
