#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "QuelmCore/Bytes.hpp"
#include "QuelmCore/InputValues.hpp"
#include "QuelmCore/companion/Uuid.hpp"

namespace quelm {

namespace ShortcutCommandCase {
// A virtual key code with modifier keys.
struct Keys {
    std::uint16_t code = 0;
    Modifiers modifiers;
    friend bool operator==(const Keys&, const Keys&) = default;
};
// One of the host's system actions.
struct System {
    SystemAction action = SystemAction::missionControl;
    friend bool operator==(const System&, const System&) = default;
};
using Variant = std::variant<Keys, System>;
}  // namespace ShortcutCommandCase

// One of the companion's configurable buttons: it sends a key combination or a system action.
struct ShortcutButton {
    // What the button sends, e.g. `Command::Keys{8, Modifiers{Modifiers::command}}`.
    struct Command : ShortcutCommandCase::Variant {
        using Variant = ShortcutCommandCase::Variant;
        using Variant::Variant;
        using Variant::operator=;

        using Keys = ShortcutCommandCase::Keys;
        using System = ShortcutCommandCase::System;

        friend bool operator==(const Command&, const Command&) = default;
    };

    // The longest list that is stored or loaded.
    static constexpr std::size_t maxCount = 16;

    Uuid id;
    std::string title;
    Command command;

    // The default row, each button with a fresh id; titles localised where they are words.
    static std::vector<ShortcutButton> defaults();
    // The stored list: the defaults when there is no data or it does not decode as a whole,
    // else at most the first maxCount buttons (an empty list stays empty).
    static std::vector<ShortcutButton> decodeList(
        std::optional<std::span<const std::uint8_t>> data);
    // The JSON array of at most the first maxCount buttons.
    static std::optional<Bytes> encodeList(std::span<const ShortcutButton> buttons);

    // The key combination as a second line, unless it is what the title already says.
    std::optional<std::string> hint() const;
    // Only unmodified arrows, deletes and page keys repeat while held.
    bool repeats() const;

    friend bool operator==(const ShortcutButton&, const ShortcutButton&) = default;
};

}  // namespace quelm
