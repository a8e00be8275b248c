#include "QuelmCore/ClipChunk.hpp"

#include "QuelmCore/ByteReader.hpp"

namespace quelm {

Bytes ClipChunk::encoded() const {
    Bytes out;
    out.reserve(headerBytes + payload.size());
    out.push_back(tag);
    ByteWriter::u32(out, transfer);
    ByteWriter::u16(out, index);
    ByteWriter::u16(out, count);
    out.push_back(rawValue(format));
    ByteWriter::append(out, payload);
    return out;
}

std::optional<ClipChunk> ClipChunk::decode(std::span<const std::uint8_t> message) {
    ByteReader reader(message);
    if (reader.u8() != tag) {
        return std::nullopt;
    }
    auto transfer = reader.u32();
    auto index = reader.u16();
    auto count = reader.u16();
    auto formatByte = reader.u8();
    if (!transfer || !index || !count || !formatByte) {
        return std::nullopt;
    }
    auto format = clipImageFormat(*formatByte);
    if (!format || *count < 1 || *index >= *count || *count > maxCount) {
        return std::nullopt;
    }
    auto payloadSize = reader.remaining();
    if (payloadSize == 0 || payloadSize > payloadBytes) {
        return std::nullopt;
    }
    auto payload = reader.bytes(static_cast<std::int64_t>(payloadSize));
    return ClipChunk{*transfer, *index, *count, *format, std::move(*payload)};
}

}  // namespace quelm
