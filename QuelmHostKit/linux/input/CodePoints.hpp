#pragma once

#include <string>
#include <vector>

namespace quelm {

// The code points of UTF-16 text; an unpaired surrogate stands for itself.
inline std::vector<char32_t> codePoints(const std::u16string& text) {
    std::vector<char32_t> points;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            points.push_back(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                             (static_cast<char32_t>(text[i + 1]) - 0xDC00));
            ++i;
        } else {
            points.push_back(unit);
        }
    }
    return points;
}

}  // namespace quelm
