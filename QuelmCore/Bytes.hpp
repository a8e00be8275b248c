#pragma once

#include <cstdint>
#include <vector>

namespace quelm {

// The one byte-string type of the code base.
using Bytes = std::vector<std::uint8_t>;

}  // namespace quelm
