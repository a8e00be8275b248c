#include "QuelmCore/UrlComponents.hpp"

#include <algorithm>
#include <array>

namespace quelm {
namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
    return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Every character is one of `extra`, unreserved, a sub-delimiter or part of a "%XX" escape.
bool allowed(std::string_view text, std::string_view extra) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) {
                return false;
            }
            i += 2;
        } else if (!isUnreserved(c) && !isSubDelim(c) && extra.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

int hexValue(char c) {
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

// Only called on text that passed allowed(), so every "%" has two hex digits.
std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool validScheme(std::string_view s) {
    return !s.empty() && isAlpha(s[0]) && std::all_of(s.begin(), s.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
    });
}

// host [":" port] after any user information; false when it is not a valid authority.
bool parseAuthority(std::string_view authority, UrlComponents& out) {
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        if (!allowed(authority.substr(0, at), ":")) {
            return false;
        }
        authority.remove_prefix(at + 1);
    }
    std::string_view host;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        host = authority.substr(1, close - 1);
        if (host.empty() || !std::all_of(host.begin(), host.end(),
                                         [](char c) { return isHex(c) || c == ':' || c == '.'; })) {
            return false;
        }
        rest = authority.substr(close + 1);
    } else {
        auto colon = authority.find(':');
        host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
        if (!allowed(host, "")) {
            return false;
        }
    }
    if (!rest.empty()) {
        if (rest.front() != ':') {
            return false;
        }
        rest.remove_prefix(1);
        if (!std::all_of(rest.begin(), rest.end(), isDigit)) {
            return false;
        }
        if (!rest.empty()) {
            // Saturates: only whether it exceeds 65535 matters.
            std::uint64_t port = 0;
            for (char c : rest) {
                port = std::min<std::uint64_t>(port * 10 + static_cast<std::uint64_t>(c - '0'),
                                               1u << 20);
            }
            out.port = port;
        }
    }
    out.host = percentDecoded(host);
    return true;
}

}  // namespace

std::optional<UrlComponents> UrlComponents::parse(std::string_view text) {
    UrlComponents url;
    std::string_view rest = text;

    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        auto fragment = rest.substr(hash + 1);
        if (!allowed(fragment, ":@/?")) {
            return std::nullopt;
        }
        url.fragment = percentDecoded(fragment);
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        auto query = rest.substr(question + 1);
        if (!allowed(query, ":@/?")) {
            return std::nullopt;
        }
        url.query = percentDecoded(query);
        rest = rest.substr(0, question);
    }
    if (auto colon = rest.find(':'); colon != std::string_view::npos &&
                                     rest.substr(0, colon).find('/') == std::string_view::npos) {
        if (!validScheme(rest.substr(0, colon))) {
            return std::nullopt;
        }
        url.scheme = std::string(rest.substr(0, colon));
        rest.remove_prefix(colon + 1);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        auto slash = rest.find('/');
        if (!parseAuthority(rest.substr(0, slash), url)) {
            return std::nullopt;
        }
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    if (!allowed(rest, ":@/")) {
        return std::nullopt;
    }
    url.path = percentDecoded(rest);
    return url;
}

std::string_view trimWhitespace(std::string_view text) {
    // UTF-8 forms of the Unicode white space and line breaks beyond ASCII.
    static constexpr std::array<std::string_view, 19> unicodeSpaces{
        "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
        "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
        "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
    auto asciiSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    bool trimmed = true;
    while (trimmed && !text.empty()) {
        trimmed = false;
        if (asciiSpace(text.front())) {
            text.remove_prefix(1);
            trimmed = true;
        } else if (asciiSpace(text.back())) {
            text.remove_suffix(1);
            trimmed = true;
        }
        for (auto space : unicodeSpaces) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                trimmed = true;
            }
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                trimmed = true;
            }
        }
    }
    return text;
}

}  // namespace quelm
