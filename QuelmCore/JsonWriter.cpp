#include "QuelmCore/JsonWriter.hpp"

#include <charconv>
#include <cmath>

namespace quelm {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF are not).
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

}  // namespace

void JsonWriter::number(double value) {
    if (!std::isfinite(value)) {
        ok_ = false;
        return;
    }
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
}

void JsonWriter::number(std::int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
}

void JsonWriter::number(std::uint64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
}

void JsonWriter::string(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out_.push_back('"');
    std::size_t runStart = 0;
    auto flush = [&](std::size_t end) { out_.append(s.substr(runStart, end - runStart)); };
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            if (std::size_t length = utf8SequenceLength(s, i)) {
                i += length;
                continue;
            }
            flush(i);
            out_.append(kReplacement);
        } else {
            flush(i);
            switch (c) {
                case '"':
                    out_.append("\\\"");
                    break;
                case '\\':
                    out_.append("\\\\");
                    break;
                case '\n':
                    out_.append("\\n");
                    break;
                case '\r':
                    out_.append("\\r");
                    break;
                case '\t':
                    out_.append("\\t");
                    break;
                case '\b':
                    out_.append("\\b");
                    break;
                case '\f':
                    out_.append("\\f");
                    break;
                default:
                    out_.append("\\u00");
                    out_.push_back(kHex[c >> 4]);
                    out_.push_back(kHex[c & 0xF]);
            }
        }
        ++i;
        runStart = i;
    }
    flush(s.size());
    out_.push_back('"');
}

}  // namespace quelm
