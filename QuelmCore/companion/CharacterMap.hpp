#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "QuelmCore/InputValues.hpp"

namespace quelm::CharacterMap {

// One key press: a virtual key code and the modifiers held with it.
struct KeyStroke {
    std::uint16_t code = 0;
    Modifiers modifiers;

    friend bool operator==(const KeyStroke&, const KeyStroke&) = default;
};

// The key stroke that types one character (UTF-8) on a US or JIS layout: digits and the
// punctuation of each layout. Letters are not covered; nothing for anything else.
std::optional<KeyStroke> key(std::string_view character, KeyboardLayoutKind layout);

}  // namespace quelm::CharacterMap
