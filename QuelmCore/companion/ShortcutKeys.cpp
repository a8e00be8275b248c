#include "QuelmCore/companion/ShortcutKeys.hpp"

#include <utility>

namespace quelm::ShortcutKeys {

std::string label(std::uint16_t code) {
    for (const auto& key : all) {
        if (key.code == code) {
            return std::string(key.label);
        }
    }
    return "key " + std::to_string(code);
}

std::string describe(std::uint16_t code, Modifiers modifiers) {
    static constexpr std::array<std::pair<std::uint8_t, std::string_view>, 4> glyphs{{
        {Modifiers::control, "⌃"},
        {Modifiers::option, "⌥"},
        {Modifiers::shift, "⇧"},
        {Modifiers::command, "⌘"},
    }};
    std::string text;
    for (const auto& [bit, glyph] : glyphs) {
        if (modifiers.contains(bit)) {
            text += glyph;
        }
    }
    return text + label(code);
}

}  // namespace quelm::ShortcutKeys
