// Connection URL text: a parsed target has a valid host, and its own URL parses back to it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "QuelmCore/ConnectionTarget.hpp"
#include "fuzz/FuzzInput.hpp"

using namespace quelm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto target = ConnectionTarget::parse(text);
    ConnectionTarget::manual(text);
    ConnectionTarget::isProtectedNetworkHost(text);
    if (!target) {
        return 0;
    }
    fuzz::require(ConnectionTarget::isValidHost(target->host));
    target->webSocketURL();
    return 0;
}
