#include "QuelmCore/WireCoder.hpp"

#include <boost/json.hpp>

#include <cmath>
#include <concepts>
#include <limits>
#include <utility>

#include "QuelmCore/JsonParser.hpp"
#include "QuelmCore/JsonWriter.hpp"
#include "QuelmCore/WireSchema.hpp"

namespace quelm::WireCoder {
namespace json = boost::json;
using namespace WireSchema;

namespace {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// Integer fields of the model; `Modifiers` is read and written as its byte.
template <class T>
concept WireInteger = std::integral<T> && !std::same_as<T, bool>;

// ---- Encoding ------------------------------------------------------------------------------

class Encoder {
  public:
    void write(bool value) { out_.boolean(value); }
    void write(double value) { out_.number(value); }
    void write(const std::string& value) { out_.string(value); }
    void write(Modifiers value) { out_.number(static_cast<std::uint64_t>(value.rawValue)); }
    void write(KeyboardLayoutKind value) { out_.string(rawValue(value)); }
    void write(SystemAction value) { out_.string(rawValue(value)); }

    template <WireInteger T>
    void write(T value) {
        if constexpr (std::is_signed_v<T>) {
            out_.number(static_cast<std::int64_t>(value));
        } else {
            out_.number(static_cast<std::uint64_t>(value));
        }
    }

    template <class T>
    void write(const std::vector<T>& list) {
        out_.raw("[");
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (i > 0) {
                out_.raw(",");
            }
            write(list[i]);
        }
        out_.raw("]");
    }

    template <Record T>
    void write(const T& record) {
        out_.raw("{");
        bool first = true;
        std::apply([&](const auto&... field) { (writeField(record, field, first), ...); },
                   Schema<T>::fields);
        out_.raw("}");
    }

    template <Message T>
    void write(const T& message) {
        out_.raw("{");
        out_.string(message.caseName());
        out_.raw(":");
        std::visit([&](const auto& payload) { write(payload); },
                   static_cast<const typename T::Variant&>(message));
        out_.raw("}");
    }

    std::optional<std::string> result() {
        if (!out_.ok()) {
            return std::nullopt;
        }
        return std::move(out_.text());
    }

  private:
    template <class R, class F>
    void writeField(const R& record, const F& field, bool& first) {
        const auto& value = record.*(field.member);
        if constexpr (IsOptional<std::decay_t<decltype(value)>>::value) {
            if (!value) {
                return;  // absent optionals are left out, never null
            }
            writeKey(field.key, first);
            write(*value);
        } else {
            writeKey(field.key, first);
            write(value);
        }
    }

    void writeKey(std::string_view key, bool& first) {
        if (!first) {
            out_.raw(",");
        }
        first = false;
        out_.string(key);
        out_.raw(":");
    }

    JsonWriter out_;
};

template <class T>
std::optional<std::string> encodeValue(const T& value) {
    Encoder encoder;
    encoder.write(value);
    return encoder.result();
}

// ---- Decoding ------------------------------------------------------------------------------

// Reads parsed JSON into the model; the first failure stops it and keeps its reason.
class Decoder {
  public:
    bool read(const json::value& v, bool& out) {
        if (!v.is_bool()) {
            return fail("expected true or false");
        }
        out = v.get_bool();
        return true;
    }

    // Any number form; one too large for a double (1e400) is refused rather than infinite.
    bool read(const json::value& v, double& out) {
        if (!v.is_number()) {
            return fail("expected a number");
        }
        out = v.to_number<double>();
        return std::isfinite(out) || fail("number does not fit");
    }

    bool read(const json::value& v, std::string& out) {
        if (!v.is_string()) {
            return fail("expected a string");
        }
        out.assign(v.get_string().data(), v.get_string().size());
        return true;
    }

    // A whole number in any JSON form (5, 5.0, 5e0) that fits the width and sign of T.
    template <WireInteger T>
    bool read(const json::value& v, T& out) {
        if (v.is_int64() && std::in_range<T>(v.get_int64())) {
            out = static_cast<T>(v.get_int64());
            return true;
        }
        if (v.is_uint64() && std::in_range<T>(v.get_uint64())) {
            out = static_cast<T>(v.get_uint64());
            return true;
        }
        if (v.is_double()) {
            double d = v.get_double();
            double upper = std::ldexp(1.0, std::numeric_limits<T>::digits);
            double lower = std::is_signed_v<T> ? -upper : 0.0;
            if (std::trunc(d) == d && d >= lower && d < upper) {
                out = static_cast<T>(d);
                return true;
            }
        }
        return fail(v.is_number() ? "number does not fit" : "expected a number");
    }

    bool read(const json::value& v, Modifiers& out) { return read(v, out.rawValue); }

    bool read(const json::value& v, KeyboardLayoutKind& out) {
        return readRaw(v, out, keyboardLayoutKind);
    }

    bool read(const json::value& v, SystemAction& out) { return readRaw(v, out, systemAction); }

    template <class T>
    bool read(const json::value& v, std::vector<T>& out) {
        if (!v.is_array()) {
            return fail("expected a list");
        }
        out.clear();
        out.reserve(v.get_array().size());
        for (const auto& element : v.get_array()) {
            if (!read(element, out.emplace_back())) {
                return false;
            }
        }
        return true;
    }

    // Only the schema's keys are read; other keys are ignored.
    template <Record T>
    bool read(const json::value& v, T& out) {
        if (!v.is_object()) {
            return fail("expected an object");
        }
        const auto& object = v.get_object();
        return std::apply(
            [&](const auto&... field) { return (readField(object, field, out) && ...); },
            Schema<T>::fields);
    }

    // Exactly one key must name a case; others are ignored.
    template <Message T>
    bool read(const json::value& v, T& out) {
        if (!v.is_object()) {
            return fail("expected an object");
        }
        const auto& names = caseNames<T>();
        int found = 0;
        std::size_t caseIndex = 0;
        const json::value* payload = nullptr;
        for (const auto& member : v.get_object()) {
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (names[i] == std::string_view(member.key())) {
                    ++found;
                    caseIndex = i;
                    payload = &member.value();
                }
            }
        }
        if (found != 1) {
            return fail("Invalid number of keys found, expected one.");
        }
        return readCase(*payload, caseIndex, out,
                        std::make_index_sequence<std::variant_size_v<typename T::Variant>>{});
    }

    const std::string& error() const { return error_; }

    bool fail(std::string reason) {
        if (error_.empty()) {
            error_ = std::move(reason);
        }
        return false;
    }

  private:
    template <class T, class Lookup>
    bool readRaw(const json::value& v, T& out, Lookup lookup) {
        if (!v.is_string()) {
            return fail("expected a string");
        }
        auto value = lookup(std::string_view(v.get_string()));
        if (!value) {
            return fail("unknown value \"" + std::string(v.get_string()) + "\"");
        }
        out = *value;
        return true;
    }

    // Absent or null is "none" for an optional field and a failure for any other.
    template <class R, class F>
    bool readField(const json::object& object, const F& field, R& record) {
        auto& value = record.*(field.member);
        const json::value* found = object.if_contains(field.key);
        bool missing = found == nullptr || found->is_null();
        if constexpr (IsOptional<std::decay_t<decltype(value)>>::value) {
            if (missing) {
                value.reset();
                return true;
            }
            return read(*found, value.emplace()) || keyed(field.key);
        } else {
            if (missing) {
                return fail("no value for key \"" + std::string(field.key) + "\"");
            }
            return read(*found, value) || keyed(field.key);
        }
    }

    // Prefixes the innermost failure with the key it happened under.
    bool keyed(std::string_view key) {
        error_ = "\"" + std::string(key) + "\": " + error_;
        return false;
    }

    template <class T, std::size_t... I>
    bool readCase(const json::value& payload, std::size_t caseIndex, T& out,
                  std::index_sequence<I...>) {
        bool ok = false;
        static_cast<void>(
            ((I == caseIndex ? (ok = readAlternative<T, I>(payload, out), true) : false) || ...));
        return ok;
    }

    template <class T, std::size_t I>
    bool readAlternative(const json::value& payload, T& out) {
        std::variant_alternative_t<I, typename T::Variant> value;
        if (!read(payload, value)) {
            return keyed(caseNames<T>()[I]);
        }
        out = std::move(value);
        return true;
    }

    std::string error_;
};

}  // namespace

std::optional<std::string> encode(const ClientMessage& message) {
    return encodeValue(message);
}
std::optional<std::string> encode(const ServerMessage& message) {
    return encodeValue(message);
}
std::optional<std::string> encode(const ClientHello& hello) {
    return encodeValue(hello);
}
std::optional<std::string> encode(const HostInfo& info) {
    return encodeValue(info);
}
std::optional<std::string> encode(const DisplayInfo& display) {
    return encodeValue(display);
}
std::optional<std::string> encode(const StreamConfig& config) {
    return encodeValue(config);
}

template <class T>
Decoded<T> decodeReportingError(std::string_view text) {
    // Messages are small: parse into a stack buffer first, the heap only beyond it.
    unsigned char buffer[4096];
    json::monotonic_resource resource(buffer, sizeof buffer);
    boost::system::error_code ec;
    json::value parsed = JsonParser::parse(text, ec, &resource);
    Decoded<T> result;
    if (ec) {
        result.error = "invalid JSON: " + ec.message();
        return result;
    }
    Decoder decoder;
    T value{};
    if (decoder.read(parsed, value)) {
        result.value = std::move(value);
    } else {
        result.error = decoder.error();
    }
    return result;
}

template Decoded<ClientMessage> decodeReportingError<ClientMessage>(std::string_view);
template Decoded<ServerMessage> decodeReportingError<ServerMessage>(std::string_view);
template Decoded<ClientHello> decodeReportingError<ClientHello>(std::string_view);
template Decoded<HostInfo> decodeReportingError<HostInfo>(std::string_view);
template Decoded<DisplayInfo> decodeReportingError<DisplayInfo>(std::string_view);
template Decoded<StreamConfig> decodeReportingError<StreamConfig>(std::string_view);

}  // namespace quelm::WireCoder
