#include "QuelmCore/VideoFrame.hpp"

#include <limits>

#include "QuelmCore/ByteReader.hpp"

namespace quelm {

std::optional<Bytes> VideoFrame::encoded() const {
    if (parameterSets.size() > std::numeric_limits<std::uint8_t>::max() ||
        payload.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    std::size_t size = 15 + payload.size();
    for (const auto& set : parameterSets) {
        if (set.size() > std::numeric_limits<std::uint16_t>::max()) {
            return std::nullopt;
        }
        size += 2 + set.size();
    }
    Bytes out;
    out.reserve(size);
    out.push_back(tag);
    ByteWriter::u32(out, seq);
    ByteWriter::u16(out, width);
    ByteWriter::u16(out, height);
    out.push_back(isKey ? 1 : 0);
    out.push_back(static_cast<std::uint8_t>(parameterSets.size()));
    for (const auto& set : parameterSets) {
        ByteWriter::u16(out, static_cast<std::uint16_t>(set.size()));
        ByteWriter::append(out, set);
    }
    ByteWriter::u32(out, static_cast<std::uint32_t>(payload.size()));
    ByteWriter::append(out, payload);
    return out;
}

std::optional<VideoFrame> VideoFrame::decode(std::span<const std::uint8_t> message) {
    ByteReader reader(message);
    if (reader.u8() != tag) {
        return std::nullopt;
    }
    VideoFrame frame;
    auto seq = reader.u32();
    auto width = reader.u16();
    auto height = reader.u16();
    auto keyByte = reader.u8();
    auto count = reader.u8();
    if (!seq || !width || !height || !keyByte || !count) {
        return std::nullopt;
    }
    frame.seq = *seq;
    frame.width = *width;
    frame.height = *height;
    frame.isKey = (*keyByte & 1) != 0;
    frame.parameterSets.reserve(*count);
    for (int i = 0; i < *count; ++i) {
        auto length = reader.u16();
        auto set = length ? reader.bytes(*length) : std::nullopt;
        if (!set) {
            return std::nullopt;
        }
        frame.parameterSets.push_back(std::move(*set));
    }
    auto length = reader.u32();
    auto payload = length ? reader.bytes(*length) : std::nullopt;
    if (!payload) {
        return std::nullopt;
    }
    frame.payload = std::move(*payload);
    return frame;
}

}  // namespace quelm
