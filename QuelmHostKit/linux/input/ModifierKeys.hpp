#pragma once

#include <array>

#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm::ModifierKeys {

// The modifier keys a poster presses for the companion, left and right.
enum Key : int { shiftLeft, shiftRight, controlLeft, controlRight, altLeft, altRight, count };
using Set = std::array<bool, count>;

// Device bits of the left and right keys of each modifier, as flags-changed events carry them.
inline constexpr EventFlags shiftLeftBit = 0x2;
inline constexpr EventFlags shiftRightBit = 0x4;
inline constexpr EventFlags controlLeftBit = 0x1;
inline constexpr EventFlags controlRightBit = 0x2000;
inline constexpr EventFlags altLeftBit = 0x20;
inline constexpr EventFlags altRightBit = 0x40;

// The keys `flags` ask for: the ones their device bits name, the left one when they name none
// (a message's modifiers carry no device bits). Command counts as left Control.
inline Set wanted(EventFlags flags) {
    Set keys{};
    auto side = [&](EventFlags family, EventFlags leftBit, EventFlags rightBit, Key left,
                    Key right) {
        if ((flags & family) == 0) {
            return;
        }
        keys[left] = (flags & leftBit) != 0 || (flags & rightBit) == 0;
        keys[right] = (flags & rightBit) != 0;
    };
    side(EventFlag::maskShift, shiftLeftBit, shiftRightBit, shiftLeft, shiftRight);
    side(EventFlag::maskControl, controlLeftBit, controlRightBit, controlLeft, controlRight);
    side(EventFlag::maskAlternate, altLeftBit, altRightBit, altLeft, altRight);
    keys[controlLeft] = keys[controlLeft] || (flags & EventFlag::maskCommand) != 0;
    return keys;
}

// Calls `set(key, down)` for each key whose state `isDown(key)` differs from `wanted`, releases
// first: AltGr is let go before Alt goes down, say, never both at once.
template <class IsDown, class SetKey>
void apply(const Set& wanted, IsDown isDown, SetKey set) {
    for (const bool pressing : {false, true}) {
        for (int key = 0; key < count; ++key) {
            if (wanted[key] == pressing && isDown(static_cast<Key>(key)) != pressing) {
                set(static_cast<Key>(key), pressing);
            }
        }
    }
}

}  // namespace quelm::ModifierKeys
