#pragma once

#include <gio/gio.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "QuelmCore/Bytes.hpp"

// Small image files that claim a very large picture of one flat colour, as a crafted clipboard
// file would: a few hundred kilobytes that decode to hundreds of megabytes. Written by hand
// (deflate through GIO) so that making them never holds the picture in memory.
namespace quelm::test::CraftedImages {

namespace detail {

inline std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

// Deflates `rows` copies of `row` into one zlib stream.
inline Bytes deflateRows(const Bytes& row, std::size_t rows) {
    GZlibCompressor* compressor = g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_ZLIB, 9);
    Bytes out;
    std::vector<std::uint8_t> buffer(1 << 16);
    for (std::size_t r = 0; r <= rows; ++r) {
        const bool last = r == rows;
        const std::uint8_t* in = last ? nullptr : row.data();
        gsize left = last ? 0 : row.size();
        for (;;) {
            gsize read = 0;
            gsize written = 0;
            GConverterResult result = g_converter_convert(
                G_CONVERTER(compressor), in, left, buffer.data(), buffer.size(),
                last ? G_CONVERTER_INPUT_AT_END : G_CONVERTER_NO_FLAGS, &read, &written, nullptr);
            out.insert(out.end(), buffer.begin(), buffer.begin() + written);
            in = in ? in + read : nullptr;
            left -= read;
            if (result == G_CONVERTER_ERROR || result == G_CONVERTER_FINISHED ||
                (!last && left == 0)) {
                break;
            }
        }
    }
    g_object_unref(compressor);
    return out;
}

inline void put32be(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(std::uint8_t(v >> shift));
    }
}

inline void pngChunk(Bytes& out, const char* type, const Bytes& data) {
    put32be(out, std::uint32_t(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put32be(out, crc32(&out[start], out.size() - start));
}

inline void put16le(Bytes& out, std::size_t at, std::uint16_t v) {
    out[at] = std::uint8_t(v);
    out[at + 1] = std::uint8_t(v >> 8);
}
inline void put32le(Bytes& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = std::uint8_t(v >> (8 * i));
    }
}

}  // namespace detail

// An 8-bit RGB PNG, every pixel grey.
inline Bytes flatPng(std::uint32_t width, std::uint32_t height) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    detail::put32be(header, width);
    detail::put32be(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace
    detail::pngChunk(out, "IHDR", header);
    Bytes row(1 + std::size_t(width) * 3, 0x80);
    row[0] = 0;  // filter: none
    detail::pngChunk(out, "IDAT", detail::deflateRows(row, height));
    detail::pngChunk(out, "IEND", {});
    return out;
}

// An 8-bit RGB TIFF of one deflated strip per row, every pixel grey.
inline Bytes flatTiff(std::uint32_t width, std::uint32_t height) {
    const Bytes strip = detail::deflateRows(Bytes(std::size_t(width) * 3, 0x80), 1);
    constexpr int kEntries = 10;
    const std::size_t ifd = 8;
    const std::size_t ifdSize = 2 + kEntries * 12 + 4;
    const std::size_t bitsAt = ifd + ifdSize;
    const std::size_t offsetsAt = bitsAt + 6;
    const std::size_t countsAt = offsetsAt + 4 * std::size_t(height);
    const std::size_t stripsAt = countsAt + 4 * std::size_t(height);
    Bytes out(stripsAt + strip.size() * height);
    out[0] = 'I';
    out[1] = 'I';
    detail::put16le(out, 2, 42);
    detail::put32le(out, 4, std::uint32_t(ifd));
    detail::put16le(out, ifd, kEntries);
    std::size_t at = ifd + 2;
    auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                     std::uint32_t value) {
        detail::put16le(out, at, tag);
        detail::put16le(out, at + 2, type);
        detail::put32le(out, at + 4, count);
        if (type == 3 && count == 1) {
            detail::put16le(out, at + 8, std::uint16_t(value));
        } else {
            detail::put32le(out, at + 8, value);
        }
        at += 12;
    };
    constexpr std::uint16_t kShort = 3;
    constexpr std::uint16_t kLong = 4;
    entry(256, kLong, 1, width);                          // ImageWidth
    entry(257, kLong, 1, height);                         // ImageLength
    entry(258, kShort, 3, std::uint32_t(bitsAt));         // BitsPerSample 8,8,8
    entry(259, kShort, 1, 8);                             // Compression: deflate
    entry(262, kShort, 1, 2);                             // Photometric: RGB
    entry(273, kLong, height, std::uint32_t(offsetsAt));  // StripOffsets
    entry(277, kShort, 1, 3);                             // SamplesPerPixel
    entry(278, kLong, 1, 1);                              // RowsPerStrip
    entry(279, kLong, height, std::uint32_t(countsAt));   // StripByteCounts
    entry(284, kShort, 1, 1);                             // PlanarConfiguration: chunky
    detail::put32le(out, at, 0);                          // no next IFD
    for (int i = 0; i < 3; ++i) {
        detail::put16le(out, bitsAt + 2 * i, 8);
    }
    for (std::uint32_t row = 0; row < height; ++row) {
        const std::size_t stripAt = stripsAt + row * strip.size();
        detail::put32le(out, offsetsAt + 4 * row, std::uint32_t(stripAt));
        detail::put32le(out, countsAt + 4 * row, std::uint32_t(strip.size()));
        std::memcpy(&out[stripAt], strip.data(), strip.size());
    }
    return out;
}

}  // namespace quelm::test::CraftedImages
