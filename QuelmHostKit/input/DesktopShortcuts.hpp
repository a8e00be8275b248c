#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm::DesktopShortcuts {

// A key of the companion's platform (virtual key code) with modifier flags.
struct Combination {
    std::uint16_t code = 0;
    EventFlags flags = 0;

    friend bool operator==(const Combination&, const Combination&) = default;
};

// A command combination whose meaning a Linux desktop gives to other keys.
struct Shortcut {
    // The key pressed with command.
    std::uint16_t code = 0;
    // What the desktop expects instead; the other modifiers pressed with it are added.
    Combination desktop;
    // The desktop's modifier stays down between repeats of the key, as a window switcher needs
    // to stay open.
    bool holdsModifier = false;
    std::string_view meaning;
};

// The rows, in a fixed order. Every other command combination becomes the same key with
// Control, which is what copy, paste, undo, save, find, close and quit are on Linux.
std::span<const Shortcut> table();

struct Translation {
    Combination combination;
    // The modifier to keep down until the switcher is done with; 0 for none.
    EventFlags heldModifier = 0;

    friend bool operator==(const Translation&, const Translation&) = default;
};

// What to post for a key pressed with these flags (which may carry the device bits of held
// modifier keys). Without command the key and flags stay as they are; with it, command's bits
// give way to the table's combination, or to Control.
Translation translate(std::uint16_t code, EventFlags flags);

// Command with its left and right device bits.
inline constexpr EventFlags commandBits = EventFlag::maskCommand | 0x8 | 0x10;

}  // namespace quelm::DesktopShortcuts
