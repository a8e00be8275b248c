#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "QuelmCore/InputValues.hpp"

namespace quelm::ShortcutKeys {

// A key a shortcut button may name: its display label and virtual key code.
struct Key {
    std::string_view label;
    std::uint16_t code = 0;

    friend constexpr bool operator==(const Key&, const Key&) = default;
};

// Letters, digits, named keys, then F1 to F12.
inline constexpr std::array<Key, 73> all{{
    {"A", 0},         {"B", 11},          {"C", 8},    {"D", 2},    {"E", 14},      {"F", 3},
    {"G", 5},         {"H", 4},           {"I", 34},   {"J", 38},   {"K", 40},      {"L", 37},
    {"M", 46},        {"N", 45},          {"O", 31},   {"P", 35},   {"Q", 12},      {"R", 15},
    {"S", 1},         {"T", 17},          {"U", 32},   {"V", 9},    {"W", 13},      {"X", 7},
    {"Y", 16},        {"Z", 6},           {"0", 29},   {"1", 18},   {"2", 19},      {"3", 20},
    {"4", 21},        {"5", 23},          {"6", 22},   {"7", 26},   {"8", 28},      {"9", 25},
    {"Space", 49},    {"Return", 36},     {"Tab", 48}, {"esc", 53}, {"Delete", 51}, {"⌦", 117},
    {"←", 123},       {"→", 124},         {"↓", 125},  {"↑", 126},  {"Home", 115},  {"End", 119},
    {"Page Up", 116}, {"Page Down", 121}, {"-", 27},   {"=", 24},   {"[", 33},      {"]", 30},
    {"\\", 42},       {";", 41},          {"'", 39},   {",", 43},   {".", 47},      {"/", 44},
    {"`", 50},        {"F1", 122},        {"F2", 120}, {"F3", 99},  {"F4", 118},    {"F5", 96},
    {"F6", 97},       {"F7", 98},         {"F8", 100}, {"F9", 101}, {"F10", 109},   {"F11", 103},
    {"F12", 111},
}};

// Keys that repeat while their button is held: the arrows, both deletes, page up and down.
inline constexpr std::array<std::uint16_t, 8> repeatable{123, 124, 125, 126, 51, 117, 116, 121};

// The label of the first key in `all` with this code, else "key " and the code.
std::string label(std::uint16_t code);

// Glyphs of the named modifiers in the order ⌃ ⌥ ⇧ ⌘, then the key's label ("⇧⌘Z").
std::string describe(std::uint16_t code, Modifiers modifiers);

}  // namespace quelm::ShortcutKeys
