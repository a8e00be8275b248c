// Binary AudioPacket messages: decoding never reads out of bounds, and what decodes encodes back to
// bytes that decode to the same value.
#include <cstddef>
#include <cstdint>
#include <span>

#include "QuelmCore/AudioPacket.hpp"
#include "fuzz/FuzzInput.hpp"

using namespace quelm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = AudioPacket::decode(std::span(data, size));
    if (!decoded) {
        return 0;
    }
    if (auto bytes = decoded->encoded()) {
        fuzz::require(AudioPacket::decode(*bytes) == decoded);
    }
    return 0;
}
