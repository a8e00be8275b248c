#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "QuelmCore/Bytes.hpp"

namespace quelm {

// Read cursor over the bytes of one binary message; integers are little-endian. A failed read
// leaves the position where it was.
class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::optional<std::uint8_t> u8() {
        if (remaining() < 1) {
            return std::nullopt;
        }
        return bytes_[position_++];
    }

    std::optional<std::uint16_t> u16() {
        if (remaining() < 2) {
            return std::nullopt;
        }
        auto value = static_cast<std::uint16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
        position_ += 2;
        return value;
    }

    std::optional<std::uint32_t> u32() {
        if (remaining() < 4) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = (value << 8) | bytes_[position_ + i];
        }
        position_ += 4;
        return value;
    }

    // The next n bytes as a byte string of their own; nothing for a negative n or too few bytes.
    std::optional<Bytes> bytes(std::int64_t n) {
        if (n < 0 || static_cast<std::uint64_t>(n) > remaining()) {
            return std::nullopt;
        }
        auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(position_);
        position_ += static_cast<std::size_t>(n);
        return Bytes(first, first + static_cast<std::ptrdiff_t>(n));
    }

    std::size_t position() const { return position_; }
    std::size_t remaining() const { return bytes_.size() - position_; }
    bool atEnd() const { return position_ == bytes_.size(); }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// Appends little-endian integers and byte strings to a buffer sized beforehand.
namespace ByteWriter {
inline void u16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
inline void u32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}
inline void append(Bytes& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}
}  // namespace ByteWriter

}  // namespace quelm
