#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quelm {

// The parts of an RFC 3986 URL reference. Parsing refuses characters a URL cannot hold (white
// space, non-ASCII, a "%" without two hex digits) rather than guessing.
struct UrlComponents {
    std::optional<std::string> scheme;
    // Percent-decoded; an IPv6 literal without its brackets. Absent without "//".
    std::optional<std::string> host;
    // Absent when not written or empty; a written port above 65535 is kept as is.
    std::optional<std::uint64_t> port;
    std::string path;
    std::optional<std::string> query;
    // Percent-decoded; absent without "#".
    std::optional<std::string> fragment;

    static std::optional<UrlComponents> parse(std::string_view text);
};

// Removes white space and line breaks (ASCII and the Unicode spaces) from both ends.
std::string_view trimWhitespace(std::string_view text);

}  // namespace quelm
