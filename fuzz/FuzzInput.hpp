#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "QuelmCore/Bytes.hpp"

namespace quelm::fuzz {

// Splits a fuzz input into messages, each a two-byte big-endian length and that many bytes; a
// short last message takes what is left. make-corpus.py writes its inputs in this framing.
inline std::vector<Bytes> messages(std::span<const std::uint8_t> data) {
    std::vector<Bytes> out;
    std::size_t at = 0;
    while (at + 2 <= data.size()) {
        std::size_t length = (std::size_t(data[at]) << 8) | data[at + 1];
        at += 2;
        std::size_t take = std::min(length, data.size() - at);
        out.emplace_back(data.begin() + at, data.begin() + at + take);
        at += take;
    }
    return out;
}

// A broken invariant: libFuzzer reports the abort with the input that caused it.
inline void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace quelm::fuzz
