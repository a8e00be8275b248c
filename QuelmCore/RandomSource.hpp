#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace quelm {

// Fills the whole span with unpredictable bytes; false when it cannot, and then the bytes mean
// nothing. The cores take one of these instead of asking the system themselves.
using RandomSource = std::function<bool(std::span<std::uint8_t>)>;

// The standard library's non-deterministic source; false when it fails.
RandomSource standardRandomSource();

}  // namespace quelm
