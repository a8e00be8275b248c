#include "QuelmCore/PeerPolicy.hpp"

#include <array>
#include <cstdint>

namespace quelm::PeerPolicy {
namespace {

// The four octets of a dotted-decimal IPv4 text: exactly four pieces of 1 to 3 digits each,
// leading zeros allowed, every value below 256.
std::optional<std::array<int, 4>> ipv4Octets(std::string_view text) {
    std::array<int, 4> octets{};
    std::size_t piece = 0;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = text.find('.', start);
        std::string_view part =
            text.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (piece == 4 || part.empty() || part.size() > 3) {
            return std::nullopt;
        }
        int value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        if (value > 255) {
            return std::nullopt;
        }
        octets[piece++] = value;
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    if (piece != 4) {
        return std::nullopt;
    }
    return octets;
}

}  // namespace

bool isTailscale(std::string_view address) {
    auto octets = ipv4Octets(address);
    return octets && (*octets)[0] == 100 && ((*octets)[1] & 0xC0) == 0x40;
}

bool isAllowed(std::string_view host, std::optional<std::string_view> ownAddress, bool allowLocal) {
    if (host == "127.0.0.1" || host == "::1" || (ownAddress && host == *ownAddress)) {
        return allowLocal;
    }
    return isTailscale(host);
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    // volatile keeps the compiler from turning the loop into an early-exit compare.
    volatile std::uint8_t difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference = difference | static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
    return difference == 0;
}

}  // namespace quelm::PeerPolicy
