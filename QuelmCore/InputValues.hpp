#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace quelm {

// Modifier keys as one byte: shift 1, control 2, option 4, command 8. The upper four bits have
// no names and pass through unchanged.
struct Modifiers {
    std::uint8_t rawValue = 0;

    static constexpr std::uint8_t shift = 1;
    static constexpr std::uint8_t control = 2;
    static constexpr std::uint8_t option = 4;
    static constexpr std::uint8_t command = 8;

    constexpr Modifiers() = default;
    constexpr explicit Modifiers(std::uint8_t raw) : rawValue(raw) {}
    constexpr Modifiers(std::initializer_list<std::uint8_t> members) {
        for (auto m : members) {
            rawValue |= m;
        }
    }

    constexpr bool contains(std::uint8_t members) const { return (rawValue & members) == members; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr void insert(std::uint8_t members) { rawValue |= members; }
    constexpr void remove(std::uint8_t members) { rawValue &= static_cast<std::uint8_t>(~members); }
    constexpr Modifiers unionWith(Modifiers o) const { return Modifiers(rawValue | o.rawValue); }
    constexpr Modifiers intersection(Modifiers o) const { return Modifiers(rawValue & o.rawValue); }
    constexpr Modifiers symmetricDifference(Modifiers o) const {
        return Modifiers(rawValue ^ o.rawValue);
    }

    friend constexpr bool operator==(Modifiers, Modifiers) = default;
};

enum class KeyboardLayoutKind { us, jis };

enum class SystemAction { missionControl, spaceLeft, spaceRight, back, forward };

inline constexpr std::array<KeyboardLayoutKind, 2> allKeyboardLayoutKinds{KeyboardLayoutKind::us,
                                                                          KeyboardLayoutKind::jis};

inline constexpr std::array<SystemAction, 5> allSystemActions{
    SystemAction::missionControl, SystemAction::spaceLeft, SystemAction::spaceRight,
    SystemAction::back, SystemAction::forward};

// Raw values: the JSON strings.
std::string_view rawValue(KeyboardLayoutKind kind);
std::string_view rawValue(SystemAction action);
std::optional<KeyboardLayoutKind> keyboardLayoutKind(std::string_view raw);
std::optional<SystemAction> systemAction(std::string_view raw);

}  // namespace quelm

template <>
struct std::hash<quelm::Modifiers> {
    std::size_t operator()(quelm::Modifiers m) const noexcept { return m.rawValue; }
};
