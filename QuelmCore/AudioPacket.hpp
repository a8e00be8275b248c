#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "QuelmCore/Bytes.hpp"

namespace quelm {

// A group of AAC units as a binary message (tag 3), with the decoder configuration when the
// packet carries it.
struct AudioPacket {
    static constexpr std::uint8_t tag = 3;
    static constexpr double sampleRate = 48000.0;
    static constexpr std::uint32_t channels = 2;
    // Sample frames per AAC unit.
    static constexpr std::uint32_t framesPerPacket = 1024;
    static constexpr int minKbps = 32;
    static constexpr int maxKbps = 256;

    std::uint32_t seq = 0;
    // The AAC decoder configuration, or empty.
    Bytes cookie;
    std::vector<Bytes> units;

    // The message bytes, in one allocation; nothing when the packet cannot be expressed (a
    // cookie or unit longer than 65535 bytes, more than 255 units).
    std::optional<Bytes> encoded() const;
    // Nothing on any violation, trailing bytes included.
    static std::optional<AudioPacket> decode(std::span<const std::uint8_t> message);

    friend bool operator==(const AudioPacket&, const AudioPacket&) = default;
};

}  // namespace quelm
