#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm::KeyboardTypes {

enum class Layout { ansi, iso, jis, other };

// The string's UTF-8 bytes folded big-endian: "ANSI" is 0x414E5349.
std::uint32_t fourCC(std::string_view code);

// The layout of a keyboard type; `other` without a layout function or above 255.
Layout layout(int type, const EventPoster::LayoutFunction& function);

// The keyboard type with the wanted layout that belongs with `type`: one of the two types above
// the ANSI type of its family (found at `type` or at most two below), else the nearest type of
// the whole range with that layout (the smaller one on a tie); none when no type has it.
std::optional<int> closest(int type, Layout wanted, const EventPoster::LayoutFunction& function);

}  // namespace quelm::KeyboardTypes
