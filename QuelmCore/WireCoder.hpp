#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "QuelmCore/Messages.hpp"

namespace quelm::WireCoder {

// Compact JSON text (no white space) of a message or record, or nothing when it holds a
// double that is not finite. Fields are written in declaration order, absent optionals left
// out. Doubles are the shortest text that reads back to the same value (6 for 6.0).
std::optional<std::string> encode(const ClientMessage& message);
std::optional<std::string> encode(const ServerMessage& message);
std::optional<std::string> encode(const ClientHello& hello);
std::optional<std::string> encode(const HostInfo& info);
std::optional<std::string> encode(const DisplayInfo& display);
std::optional<std::string> encode(const StreamConfig& config);

// A decoding result with the reason of a failure, for tests and diagnostics; the reason never
// goes to the other end.
template <class T>
struct Decoded {
    std::optional<T> value;
    std::string error;
};

// Strict decoding of UTF-8 JSON. T is one of ClientMessage, ServerMessage, ClientHello,
// HostInfo, DisplayInfo or StreamConfig.
template <class T>
Decoded<T> decodeReportingError(std::string_view json);

template <class T>
std::optional<T> decode(std::string_view json) {
    return decodeReportingError<T>(json).value;
}

template <class T>
std::optional<T> decode(std::span<const std::uint8_t> json) {
    return decode<T>(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
}

}  // namespace quelm::WireCoder
