// The AAC decoder configuration wrapped in an ES descriptor: unwrapping never reads out of
// bounds, and a configuration unwraps from its own wrapping.
#include <cstddef>
#include <cstdint>
#include <span>

#include "QuelmCore/EsDescriptor.hpp"
#include "fuzz/FuzzInput.hpp"

using namespace quelm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto config = EsDescriptor::unwrap(std::span(data, size));
    if (config && config->size() < 128) {
        fuzz::require(EsDescriptor::unwrap(EsDescriptor::wrap(*config)) == config);
    }
    return 0;
}
