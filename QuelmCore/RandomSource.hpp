#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace quelm {

// Fills the buffer with secure random bytes; false when the source failed. The cores and the
// logic take one of these instead of calling the system, so tests can script it and the
// application can pick the platform's source.
using RandomSource = std::function<bool(std::span<std::uint8_t>)>;

// The standard library's non-deterministic device (the kernel's source on Linux).
RandomSource standardRandomSource();

}  // namespace quelm
