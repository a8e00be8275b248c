#include "QuelmCore/AudioPacket.hpp"

#include <limits>

#include "QuelmCore/ByteReader.hpp"

namespace quelm {

std::optional<Bytes> AudioPacket::encoded() const {
    constexpr std::size_t maxLength = std::numeric_limits<std::uint16_t>::max();
    if (cookie.size() > maxLength || units.size() > std::numeric_limits<std::uint8_t>::max()) {
        return std::nullopt;
    }
    std::size_t size = 8 + cookie.size();
    for (const auto& unit : units) {
        if (unit.size() > maxLength) {
            return std::nullopt;
        }
        size += 2 + unit.size();
    }
    Bytes out;
    out.reserve(size);
    out.push_back(tag);
    ByteWriter::u32(out, seq);
    ByteWriter::u16(out, static_cast<std::uint16_t>(cookie.size()));
    ByteWriter::append(out, cookie);
    out.push_back(static_cast<std::uint8_t>(units.size()));
    for (const auto& unit : units) {
        ByteWriter::u16(out, static_cast<std::uint16_t>(unit.size()));
        ByteWriter::append(out, unit);
    }
    return out;
}

std::optional<AudioPacket> AudioPacket::decode(std::span<const std::uint8_t> message) {
    ByteReader reader(message);
    if (reader.u8() != tag) {
        return std::nullopt;
    }
    AudioPacket packet;
    auto seq = reader.u32();
    auto cookieLength = seq ? reader.u16() : std::nullopt;
    auto cookie = cookieLength ? reader.bytes(*cookieLength) : std::nullopt;
    auto count = cookie ? reader.u8() : std::nullopt;
    if (!count) {
        return std::nullopt;
    }
    packet.seq = *seq;
    packet.cookie = std::move(*cookie);
    packet.units.reserve(*count);
    for (int i = 0; i < *count; ++i) {
        auto length = reader.u16();
        auto unit = length ? reader.bytes(*length) : std::nullopt;
        if (!unit) {
            return std::nullopt;
        }
        packet.units.push_back(std::move(*unit));
    }
    if (!reader.atEnd()) {
        return std::nullopt;
    }
    return packet;
}

}  // namespace quelm
