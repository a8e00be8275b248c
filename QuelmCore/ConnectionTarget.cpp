#include "QuelmCore/ConnectionTarget.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

#include "QuelmCore/PeerPolicy.hpp"
#include "QuelmCore/UrlComponents.hpp"

namespace quelm {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::vector<std::string_view> splitKeepingEmpty(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    while (true) {
        auto at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return pieces;
        }
        text.remove_prefix(at + 1);
    }
}

// A decimal integer with an optional sign, as a general-purpose integer parser reads it.
std::optional<std::int64_t> signedInteger(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool isPrivateIPv4(std::string_view host) {
    std::vector<std::int64_t> numbers;
    std::size_t nonEmpty = 0;
    for (auto piece : splitKeepingEmpty(host, '.')) {
        nonEmpty += piece.empty() ? 0 : 1;
        if (auto number = signedInteger(piece)) {
            numbers.push_back(*number);
        }
    }
    if (numbers.size() != 4 || nonEmpty != 4 ||
        std::any_of(numbers.begin(), numbers.end(),
                    [](std::int64_t n) { return n < 0 || n > 255; })) {
        return false;
    }
    return numbers[0] == 10 || (numbers[0] == 172 && numbers[1] >= 16 && numbers[1] <= 31) ||
           (numbers[0] == 192 && numbers[1] == 168);
}

bool onTailnet(std::string_view host) {
    return PeerPolicy::isTailscale(host) || host.ends_with(ConnectionTarget::tailnetSuffix);
}

}  // namespace

std::string ConnectionTarget::shareString() const {
    std::string url = std::string(scheme) + "://" + host + ":" + std::to_string(port);
    url += token.empty() ? "/#vnc" : "/#t=" + token;
    return url;
}

std::optional<std::string> ConnectionTarget::webSocketURL() const {
    std::string text = "ws://" + host + ":" + std::to_string(port) + "/ws";
    // Read back: a host holding URL syntax ("/", "@", "#" ...) would point somewhere else.
    auto url = UrlComponents::parse(text);
    if (!url || url->host != host || host.empty() || url->port != port || url->path != "/ws") {
        return std::nullopt;
    }
    return text;
}

// The scheme must be "quelmix" and there must be a host and a fragment. "#vnc" takes any valid
// host and no token; "#t=<token>" needs a non-empty token and a host on the tailnet (a
// Tailscale address or a name under the tailnet suffix, compared case-sensitively). A missing
// or out-of-range port means 5290.
std::optional<ConnectionTarget> ConnectionTarget::parse(std::string_view text) {
    auto url = UrlComponents::parse(trimWhitespace(text));
    if (!url || url->scheme != scheme || !url->host || !url->fragment) {
        return std::nullopt;
    }
    std::uint16_t port = Wire::defaultPort;
    if (url->port && *url->port <= 65535) {
        port = static_cast<std::uint16_t>(*url->port);
    }
    const std::string& host = *url->host;
    const std::string& fragment = *url->fragment;
    if (fragment == "vnc") {
        if (!isValidHost(host)) {
            return std::nullopt;
        }
        return ConnectionTarget{host, port, ""};
    }
    // A percent-escaped host could still end with the suffix; it must also be a plain host.
    if (!onTailnet(host) || !isValidHost(host) || !fragment.starts_with("t=") ||
        fragment.size() == 2) {
        return std::nullopt;
    }
    return ConnectionTarget{host, port, fragment.substr(2)};
}

std::optional<ConnectionTarget> ConnectionTarget::manual(std::string_view host) {
    auto normalized = normalizedHost(host);
    if (!normalized) {
        return std::nullopt;
    }
    return ConnectionTarget{*normalized, Wire::defaultPort, ""};
}

std::optional<std::string> ConnectionTarget::normalizedHost(std::string_view host) {
    std::string text(trimWhitespace(host));
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    if (text.ends_with('.')) {
        text.pop_back();
    }
    if (!isValidHost(text)) {
        return std::nullopt;
    }
    return text;
}

bool ConnectionTarget::isValidHost(std::string_view host) {
    static constexpr std::string_view allowedCharacters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.front() == '-' ||
        host.find_first_not_of(allowedCharacters) != std::string_view::npos ||
        host.find("..") != std::string_view::npos) {
        return false;
    }
    if (host.find_first_not_of("0123456789.") != std::string_view::npos) {
        return true;  // a host name
    }
    auto pieces = splitKeepingEmpty(host, '.');
    return pieces.size() == 4 && std::all_of(pieces.begin(), pieces.end(), [](auto piece) {
               int value = 0;
               auto [end, error] =
                   std::from_chars(piece.data(), piece.data() + piece.size(), value);
               return !piece.empty() && error == std::errc() &&
                      end == piece.data() + piece.size() && value <= 255;
           });
}

bool ConnectionTarget::isProtectedNetworkHost(std::string_view host) {
    if (onTailnet(host) || host.ends_with(".local")) {
        return true;
    }
    if (!host.empty() && host.find('.') == std::string_view::npos &&
        !std::all_of(host.begin(), host.end(), isDigit)) {
        return true;  // a single-label local name
    }
    return isPrivateIPv4(host);
}

}  // namespace quelm
