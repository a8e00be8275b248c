#include "QuelmCore/companion/HIDKeys.hpp"

#include <array>
#include <utility>

namespace quelm::HIDKeys {
namespace {

struct Mapping {
    std::uint8_t usage;
    std::uint16_t code;
};

// Usages 4 to 29: the letters a to z.
constexpr std::array<std::uint16_t, 26> letterCodes{
    0, 11, 8, 2, 14, 3, 5, 4, 34, 38, 40, 37, 46, 45, 31, 35, 12, 15, 1, 17, 32, 9, 13, 7, 16, 6};
// Usages 30 to 39: the digits 1 to 9, then 0.
constexpr std::array<std::uint16_t, 10> digitCodes{18, 19, 20, 21, 23, 22, 26, 28, 25, 29};
// Usages 58 to 69: F1 to F12.
constexpr std::array<std::uint16_t, 12> functionCodes{122, 120, 99,  118, 96,  97,
                                                      98,  100, 101, 109, 103, 111};

constexpr std::array<Mapping, 42> otherKeys{{
    {40, 36},    // Enter
    {41, 53},    // Escape
    {42, 51},    // Backspace
    {43, 48},    // Tab
    {44, 49},    // Space
    {45, 27},    // - and _
    {46, 24},    // = and +
    {47, 33},    // [ and {
    {48, 30},    // ] and }
    {49, 42},    // \ and |
    {50, 42},    // Non-US # and ~
    {51, 41},    // ; and :
    {52, 39},    // ' and "
    {53, 50},    // ` and ~
    {54, 43},    // , and <
    {55, 47},    // . and >
    {56, 44},    // / and ?
    {57, 57},    // Caps Lock
    {73, 114},   // Insert
    {74, 115},   // Home
    {75, 116},   // Page Up
    {76, 117},   // Delete Forward
    {77, 119},   // End
    {78, 121},   // Page Down
    {79, 124},   // Right Arrow
    {80, 123},   // Left Arrow
    {81, 125},   // Down Arrow
    {82, 126},   // Up Arrow
    {88, 76},    // Keypad Enter
    {100, 10},   // Non-US \ and |
    {135, 94},   // International 1 (ro)
    {137, 93},   // International 3 (yen)
    {144, 104},  // LANG1 (kana)
    {145, 102},  // LANG2 (eisu)
    {224, 59},   // Left Control
    {225, 56},   // Left Shift
    {226, 58},   // Left Alt
    {227, 55},   // Left GUI
    {228, 62},   // Right Control
    {229, 60},   // Right Shift
    {230, 61},   // Right Alt
    {231, 54},   // Right GUI
}};

constexpr std::uint16_t kNone = 0xFFFF;
constexpr std::size_t kUsageCount = 232;

// Indexed by usage; built at compile time, so there is nothing to guard at run time.
constexpr std::array<std::uint16_t, kUsageCount> table = [] {
    std::array<std::uint16_t, kUsageCount> t{};
    t.fill(kNone);
    auto place = [&t](std::size_t first, const auto& codes) {
        for (std::size_t i = 0; i < codes.size(); ++i) {
            t[first + i] = codes[i];
        }
    };
    place(4, letterCodes);
    place(30, digitCodes);
    place(58, functionCodes);
    for (const auto& m : otherKeys) {
        t[m.usage] = m.code;
    }
    return t;
}();

}  // namespace

std::optional<std::uint16_t> macKeyCode(std::int64_t usage) {
    if (usage < 0 || usage >= static_cast<std::int64_t>(kUsageCount) ||
        table[static_cast<std::size_t>(usage)] == kNone) {
        return std::nullopt;
    }
    return table[static_cast<std::size_t>(usage)];
}

}  // namespace quelm::HIDKeys
