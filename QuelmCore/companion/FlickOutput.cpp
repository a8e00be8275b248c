#include "QuelmCore/companion/FlickOutput.hpp"

#include <array>
#include <string_view>
#include <utility>

namespace quelm {
namespace {

constexpr std::array<std::pair<std::uint16_t, std::string_view>, 5> kKeyLabels{{
    {49, "変換"},
    {123, "←"},
    {124, "→"},
    {125, "↓"},
    {126, "↑"},
}};

}  // namespace

std::optional<std::string> FlickOutput::label() const {
    if (const auto* text = std::get_if<Text>(this)) {
        return text->text;
    }
    const auto code = std::get<Key>(*this).code;
    for (const auto& [keyCode, keyLabel] : kKeyLabels) {
        if (keyCode == code) {
            return std::string(keyLabel);
        }
    }
    return std::nullopt;
}

}  // namespace quelm
