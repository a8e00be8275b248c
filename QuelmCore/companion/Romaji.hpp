#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "QuelmCore/InputValues.hpp"
#include "QuelmCore/companion/CharacterMap.hpp"

namespace quelm::Romaji {

// The romaji the host's Japanese input method is typed with, for a kana or a punctuation mark
// (UTF-8); digits and some ASCII symbols map to themselves. Nothing for anything else.
std::optional<std::string_view> keys(std::string_view kana);

// The virtual key code of a lower-case letter, from the shortcut key catalogue.
std::optional<std::uint16_t> letterCode(char letter);

// The key strokes that type a kana's romaji on a layout; nothing when any of its characters
// has no key there.
std::optional<std::vector<CharacterMap::KeyStroke>> keyStrokes(std::string_view kana,
                                                               KeyboardLayoutKind layout);

}  // namespace quelm::Romaji
