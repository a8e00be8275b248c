// Binary clipboard-image chunks: decoding never reads out of bounds, and what decodes encodes
// back to bytes that decode to the same chunk.
#include <cstddef>
#include <cstdint>
#include <span>

#include "QuelmCore/ClipChunk.hpp"
#include "fuzz/FuzzInput.hpp"

using namespace quelm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto chunk = ClipChunk::decode(std::span(data, size));
    if (!chunk) {
        return 0;
    }
    fuzz::require(ClipChunk::decode(chunk->encoded()) == chunk);
    return 0;
}
