#pragma once

#include <cstdint>
#include <span>

namespace quelm {

// Well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF) without NUL
// bytes.
bool isValidUtf8(std::span<const std::uint8_t> bytes);

}  // namespace quelm
