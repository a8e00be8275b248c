#include "QuelmCore/companion/CharacterMap.hpp"

#include <array>
#include <span>

namespace quelm::CharacterMap {
namespace {

struct Entry {
    std::string_view character;
    std::uint16_t code;
    std::uint8_t modifiers;
};

constexpr std::uint8_t none = 0;
constexpr std::uint8_t shift = Modifiers::shift;
constexpr std::uint8_t option = Modifiers::option;

constexpr std::array<Entry, 10> digits{{
    {"1", 18, none},
    {"2", 19, none},
    {"3", 20, none},
    {"4", 21, none},
    {"5", 23, none},
    {"6", 22, none},
    {"7", 26, none},
    {"8", 28, none},
    {"9", 25, none},
    {"0", 29, none},
}};

constexpr std::array<Entry, 32> usLayout{{
    {"-", 27, none},  {"_", 27, shift}, {"=", 24, none},  {"+", 24, shift},  {"[", 33, none},
    {"{", 33, shift}, {"]", 30, none},  {"}", 30, shift}, {"\\", 42, none},  {"|", 42, shift},
    {";", 41, none},  {":", 41, shift}, {"'", 39, none},  {"\"", 39, shift}, {",", 43, none},
    {"<", 43, shift}, {".", 47, none},  {">", 47, shift}, {"/", 44, none},   {"?", 44, shift},
    {"`", 50, none},  {"~", 50, shift}, {"!", 18, shift}, {"@", 19, shift},  {"#", 20, shift},
    {"$", 21, shift}, {"%", 23, shift}, {"^", 22, shift}, {"&", 26, shift},  {"*", 28, shift},
    {"(", 25, shift}, {")", 29, shift},
}};

constexpr std::array<Entry, 33> jisLayout{{
    {"-", 27, none},   {"=", 27, shift}, {"^", 24, none},  {"~", 24, shift},   {"¥", 93, none},
    {"|", 93, shift},  {"@", 33, none},  {"`", 33, shift}, {"[", 30, none},    {"{", 30, shift},
    {";", 41, none},   {"+", 41, shift}, {":", 39, none},  {"*", 39, shift},   {"]", 42, none},
    {"}", 42, shift},  {",", 43, none},  {"<", 43, shift}, {".", 47, none},    {">", 47, shift},
    {"/", 44, none},   {"?", 44, shift}, {"_", 94, none},  {"\\", 93, option}, {"!", 18, shift},
    {"\"", 19, shift}, {"#", 20, shift}, {"$", 21, shift}, {"%", 23, shift},   {"&", 22, shift},
    {"'", 26, shift},  {"(", 28, shift}, {")", 25, shift},
}};

std::optional<KeyStroke> find(std::span<const Entry> table, std::string_view character) {
    for (const auto& e : table) {
        if (e.character == character) {
            return KeyStroke{e.code, Modifiers{e.modifiers}};
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<KeyStroke> key(std::string_view character, KeyboardLayoutKind layout) {
    if (auto digit = find(digits, character)) {
        return digit;
    }
    return find(layout == KeyboardLayoutKind::jis ? std::span<const Entry>(jisLayout)
                                                  : std::span<const Entry>(usLayout),
                character);
}

}  // namespace quelm::CharacterMap
