#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "QuelmCore/Bytes.hpp"

namespace quelm {

// The MPEG-4 elementary-stream descriptor of an AAC stream (the body of an 'esds' box): an
// ES_Descriptor holding a DecoderConfigDescriptor whose DecoderSpecificInfo is the
// AudioSpecificConfig. It is the audio cookie's form on the wire.
struct EsDescriptor {
    // The descriptor around `audioSpecificConfig`, or empty for a configuration too long for
    // a descriptor (over 2^28 bytes).
    static Bytes wrap(std::span<const std::uint8_t> audioSpecificConfig);
    // The AudioSpecificConfig inside a descriptor of an audio stream; nothing for anything
    // else, including a descriptor cut short, lengths running past their container, or an
    // empty configuration. Bytes after the descriptor are ignored.
    static std::optional<Bytes> unwrap(std::span<const std::uint8_t> descriptor);

    static constexpr std::uint8_t esTag = 0x03;
    static constexpr std::uint8_t decoderConfigTag = 0x04;
    static constexpr std::uint8_t decoderSpecificInfoTag = 0x05;
    static constexpr std::uint8_t slConfigTag = 0x06;
};

}  // namespace quelm
