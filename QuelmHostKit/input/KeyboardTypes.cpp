#include "QuelmHostKit/input/KeyboardTypes.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace quelm::KeyboardTypes {

std::uint32_t fourCC(std::string_view code) {
    std::uint32_t value = 0;
    for (char c : code) {
        value = (value << 8) + static_cast<std::uint8_t>(c);
    }
    return value;
}

Layout layout(int type, const EventPoster::LayoutFunction& function) {
    if (!function || type > 255 || type < 0) {
        return Layout::other;
    }
    const std::uint32_t code = function(static_cast<std::int16_t>(type));
    if (code == fourCC("ANSI")) {
        return Layout::ansi;
    }
    if (code == fourCC("ISO ")) {
        return Layout::iso;
    }
    if (code == fourCC("JIS ")) {
        return Layout::jis;
    }
    return Layout::other;
}

std::optional<int> closest(int type, Layout wanted, const EventPoster::LayoutFunction& function) {
    const int c = std::clamp(type, 0, 255);
    const int lowest = type < 3 ? 0 : c - 2;
    if (function) {
        for (int i = c; i >= lowest; --i) {
            if (function(static_cast<std::int16_t>(i)) != fourCC("ANSI")) {
                continue;
            }
            for (int j = i; j <= std::min(i, 253) + 2; ++j) {
                if (layout(j, function) == wanted) {
                    return j;
                }
            }
            break;
        }
    }
    std::optional<int> best;
    for (int j = 0; j <= 255; ++j) {
        if (layout(j, function) != wanted) {
            continue;
        }
        if (!best || std::abs(j - c) < std::abs(*best - c)) {
            best = j;
        }
    }
    return best;
}

}  // namespace quelm::KeyboardTypes
