#pragma once

#include <cstdint>
#include <optional>

namespace quelm::X11KeyCodes {

// The X key code of a virtual key code of the companion's platform: the Linux evdev code of the
// key at the same place on the keyboard, plus 8 (the offset of the evdev X driver and of
// XKB's "evdev" key codes). None for codes without a key here (fn, unused codes).
std::optional<std::uint8_t> xKeyCode(std::uint16_t virtualKey);

// The evdev code of that key; none as above.
std::optional<std::uint16_t> evdevCode(std::uint16_t virtualKey);

}  // namespace quelm::X11KeyCodes
