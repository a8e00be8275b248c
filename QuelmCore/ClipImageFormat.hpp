#pragma once

#include <cstdint>
#include <optional>

namespace quelm {

// Encoding of a clipboard image; the raw value is the format byte of a chunk.
enum class ClipImageFormat : std::uint8_t { png = 1, jpeg = 2 };

inline constexpr std::uint8_t rawValue(ClipImageFormat format) {
    return static_cast<std::uint8_t>(format);
}

inline constexpr std::optional<ClipImageFormat> clipImageFormat(std::uint8_t raw) {
    if (raw == rawValue(ClipImageFormat::png) || raw == rawValue(ClipImageFormat::jpeg)) {
        return static_cast<ClipImageFormat>(raw);
    }
    return std::nullopt;
}

}  // namespace quelm
