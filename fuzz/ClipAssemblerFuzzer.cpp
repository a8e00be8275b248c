// Sequences of clipboard-image chunks (length-prefixed messages) into one assembler: it never
// holds more than its byte limit, and a completed image is within that limit too.
#include <cstddef>
#include <cstdint>

#include "QuelmCore/ClipAssembler.hpp"
#include "fuzz/FuzzInput.hpp"

using namespace quelm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ClipAssembler assembler;
    for (const auto& message : fuzz::messages(std::span(data, size))) {
        auto chunk = ClipChunk::decode(message);
        if (!chunk) {
            continue;
        }
        auto image = assembler.add(std::move(*chunk));
        fuzz::require(assembler.bytes() <= ClipImage::maxBytes);
        fuzz::require(assembler.received() <= assembler.slots());
        if (image) {
            fuzz::require(image->data.size() <= ClipImage::maxBytes);
        }
    }
    return 0;
}
