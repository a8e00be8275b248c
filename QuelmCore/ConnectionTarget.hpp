#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "QuelmCore/Messages.hpp"

namespace quelm {

// Where and how a companion connects: the value behind the connection URL
// "quelmix://<host>:<port>/#t=<token>" (or "/#vnc" for screen sharing only).
struct ConnectionTarget {
    static constexpr std::uint16_t vncPort = 5900;
    static constexpr std::string_view scheme = "quelmix";
    // The DNS suffix under which MagicDNS names the machines of a tailnet.
    static constexpr std::string_view tailnetSuffix = ".ts.net";

    std::string host;
    std::uint16_t port = Wire::defaultPort;
    // The connection secret; empty for a target that only offers screen sharing.
    std::string token;

    // The connection URL text; nothing is escaped.
    std::string shareString() const;
    // "ws://<host>:<port>/ws", or nothing when that is not a URL with this very host and port.
    std::optional<std::string> webSocketURL() const;
    bool hasHostToken() const { return !token.empty(); }

    // A target from URL text, or nothing (rules in the source).
    static std::optional<ConnectionTarget> parse(std::string_view text);
    // A screen-sharing target for a hand-typed host name.
    static std::optional<ConnectionTarget> manual(std::string_view host);
    // Trimmed, lower-cased, one trailing "." removed, and valid; or nothing.
    static std::optional<std::string> normalizedHost(std::string_view host);
    // A host name of letters, digits, "." and "-", or a dotted IPv4 address.
    static bool isValidHost(std::string_view host);
    // On a tailnet, a ".local" or single-label name, or a private IPv4 address.
    static bool isProtectedNetworkHost(std::string_view host);

    friend bool operator==(const ConnectionTarget&, const ConnectionTarget&) = default;
};

}  // namespace quelm
