#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace quelm {

namespace FlickOutputCase {
struct Text {
    std::string text;
    friend bool operator==(const Text&, const Text&) = default;
};
// A virtual key code, such as the convert (space) key or an arrow.
struct Key {
    std::uint16_t code = 0;
    friend bool operator==(const Key&, const Key&) = default;
};
using Variant = std::variant<Text, Key>;
}  // namespace FlickOutputCase

// What one direction of a flick key types, e.g. `FlickOutput::Text{"あ"}`.
struct FlickOutput : FlickOutputCase::Variant {
    using Variant = FlickOutputCase::Variant;
    using Variant::Variant;
    using Variant::operator=;

    using Text = FlickOutputCase::Text;
    using Key = FlickOutputCase::Key;

    // The text itself, or the key's label; nothing for a key without one.
    std::optional<std::string> label() const;

    friend bool operator==(const FlickOutput&, const FlickOutput&) = default;
};

}  // namespace quelm
