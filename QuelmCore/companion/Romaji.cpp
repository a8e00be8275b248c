#include "QuelmCore/companion/Romaji.hpp"

#include <array>
#include <utility>

#include "QuelmCore/companion/ShortcutKeys.hpp"

namespace quelm::Romaji {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 90> table{{
    {"あ", "a"},   {"い", "i"},   {"う", "u"},   {"え", "e"},  {"お", "o"},   {"か", "ka"},
    {"き", "ki"},  {"く", "ku"},  {"け", "ke"},  {"こ", "ko"}, {"さ", "sa"},  {"し", "si"},
    {"す", "su"},  {"せ", "se"},  {"そ", "so"},  {"た", "ta"}, {"ち", "ti"},  {"つ", "tu"},
    {"て", "te"},  {"と", "to"},  {"な", "na"},  {"に", "ni"}, {"ぬ", "nu"},  {"ね", "ne"},
    {"の", "no"},  {"は", "ha"},  {"ひ", "hi"},  {"ふ", "hu"}, {"へ", "he"},  {"ほ", "ho"},
    {"ま", "ma"},  {"み", "mi"},  {"む", "mu"},  {"め", "me"}, {"も", "mo"},  {"や", "ya"},
    {"ゆ", "yu"},  {"よ", "yo"},  {"ら", "ra"},  {"り", "ri"}, {"る", "ru"},  {"れ", "re"},
    {"ろ", "ro"},  {"わ", "wa"},  {"を", "wo"},  {"ん", "nn"}, {"が", "ga"},  {"ぎ", "gi"},
    {"ぐ", "gu"},  {"げ", "ge"},  {"ご", "go"},  {"ざ", "za"}, {"じ", "zi"},  {"ず", "zu"},
    {"ぜ", "ze"},  {"ぞ", "zo"},  {"だ", "da"},  {"ぢ", "di"}, {"づ", "du"},  {"で", "de"},
    {"ど", "do"},  {"ば", "ba"},  {"び", "bi"},  {"ぶ", "bu"}, {"べ", "be"},  {"ぼ", "bo"},
    {"ぱ", "pa"},  {"ぴ", "pi"},  {"ぷ", "pu"},  {"ぺ", "pe"}, {"ぽ", "po"},  {"ぁ", "xa"},
    {"ぃ", "xi"},  {"ぅ", "xu"},  {"ぇ", "xe"},  {"ぉ", "xo"}, {"っ", "xtu"}, {"ゃ", "xya"},
    {"ゅ", "xyu"}, {"ょ", "xyo"}, {"ゎ", "xwa"}, {"ゔ", "vu"}, {"ー", "-"},   {"、", ","},
    {"。", "."},   {"？", "?"},   {"！", "!"},   {"「", "["},  {"」", "]"},   {"〜", "~"},
}};

// ASCII characters typed as themselves.
constexpr std::string_view kPassThrough = "0123456789()[].,-/%#$*+=<>:^|\\";

// Lower-case letters to key codes, taken from the single-letter entries of the catalogue.
constexpr std::array<std::optional<std::uint16_t>, 26> letterCodes = [] {
    std::array<std::optional<std::uint16_t>, 26> codes{};
    for (const auto& key : ShortcutKeys::all) {
        if (key.label.size() == 1 && key.label[0] >= 'A' && key.label[0] <= 'Z') {
            codes[static_cast<std::size_t>(key.label[0] - 'A')] = key.code;
        }
    }
    return codes;
}();

}  // namespace

std::optional<std::string_view> keys(std::string_view kana) {
    for (const auto& [k, romaji] : table) {
        if (k == kana) {
            return romaji;
        }
    }
    if (kana.size() == 1 && kPassThrough.find(kana[0]) != std::string_view::npos) {
        return kana;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> letterCode(char letter) {
    if (letter < 'a' || letter > 'z') {
        return std::nullopt;
    }
    return letterCodes[static_cast<std::size_t>(letter - 'a')];
}

std::optional<std::vector<CharacterMap::KeyStroke>> keyStrokes(std::string_view kana,
                                                               KeyboardLayoutKind layout) {
    const auto romaji = keys(kana);
    if (!romaji) {
        return std::nullopt;
    }
    std::vector<CharacterMap::KeyStroke> strokes;
    strokes.reserve(romaji->size());
    for (const char c : *romaji) {
        if (auto code = letterCode(c)) {
            strokes.push_back({*code, {}});
        } else if (auto stroke = CharacterMap::key(std::string_view(&c, 1), layout)) {
            strokes.push_back(*stroke);
        } else {
            return std::nullopt;
        }
    }
    return strokes;
}

}  // namespace quelm::Romaji
