// The companion's JSON messages: strict decoding, then validation; what decodes must encode
// and decode back to the same message.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "QuelmCore/WireCoder.hpp"
#include "fuzz/FuzzInput.hpp"

using namespace quelm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto message = WireCoder::decode<ClientMessage>(text);
    if (!message) {
        return 0;
    }
    auto valid = message->validated();
    if (auto again = WireCoder::encode(*message)) {
        fuzz::require(WireCoder::decode<ClientMessage>(*again) == message);
    }
    if (valid) {
        fuzz::require(valid->validated() == valid);
    }
    return 0;
}
