#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "QuelmCore/RandomSource.hpp"

namespace quelm {

// A 128-bit identifier in its usual 36-character text form (8-4-4-4-12 hexadecimal digits).
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // A fresh random (version 4) identifier; nothing when the source fails.
    static std::optional<Uuid> random(const RandomSource& source = standardRandomSource());
    // Accepts either letter case; nothing for anything but the 36-character form.
    static std::optional<Uuid> parse(std::string_view text);
    // Upper-case hexadecimal, the form the companion writes.
    std::string text() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
};

}  // namespace quelm
