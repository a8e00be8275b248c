#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace quelm::KanaVariant {

// The voiced, semi-voiced and small variants one press steps through; unused places are empty.
inline constexpr std::array<std::array<std::string_view, 3>, 29> cycles{{
    {"あ", "ぁ"},       {"い", "ぃ"},       {"う", "ぅ", "ゔ"}, {"え", "ぇ"},
    {"お", "ぉ"},       {"か", "が"},       {"き", "ぎ"},       {"く", "ぐ"},
    {"け", "げ"},       {"こ", "ご"},       {"さ", "ざ"},       {"し", "じ"},
    {"す", "ず"},       {"せ", "ぜ"},       {"そ", "ぞ"},       {"た", "だ"},
    {"ち", "ぢ"},       {"つ", "っ", "づ"}, {"て", "で"},       {"と", "ど"},
    {"は", "ば", "ぱ"}, {"ひ", "び", "ぴ"}, {"ふ", "ぶ", "ぷ"}, {"へ", "べ", "ぺ"},
    {"ほ", "ぼ", "ぽ"}, {"や", "ゃ"},       {"ゆ", "ゅ"},       {"よ", "ょ"},
    {"わ", "ゎ"},
}};

// The variant after `kana` in the first cycle holding it, wrapping round; nothing for a kana
// in no cycle.
std::optional<std::string_view> next(std::string_view kana);

}  // namespace quelm::KanaVariant
