#pragma once

#include <cstdint>
#include <optional>

namespace quelm::HIDKeys {

// Virtual key codes the command-key tap and the JIS input-mode keys are known by.
inline constexpr std::uint16_t leftCommand = 55;
inline constexpr std::uint16_t rightCommand = 54;
// The JIS alphanumeric-mode key.
inline constexpr std::uint16_t eisu = 102;
// The JIS kana-mode key.
inline constexpr std::uint16_t kana = 104;

// The virtual key code of a USB HID keyboard usage (usage page 7), or nothing for a usage the
// companion does not forward (keypad digits, F13 and above, media keys, the error usages).
std::optional<std::uint16_t> macKeyCode(std::int64_t usage);

}  // namespace quelm::HIDKeys
