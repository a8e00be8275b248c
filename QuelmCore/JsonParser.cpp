#include "QuelmCore/JsonParser.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

#include <charconv>
#include <string>
#include <system_error>

namespace quelm::JsonParser {
namespace json = boost::json;

namespace {

// The value-building handler of boost::json::parser, with doubles read from their text.
struct Handler {
    static constexpr std::size_t max_object_size = json::object::max_size();
    static constexpr std::size_t max_array_size = json::array::max_size();
    static constexpr std::size_t max_key_size = json::string::max_size();
    static constexpr std::size_t max_string_size = json::string::max_size();

    json::value_stack stack;
    // The text of the number being read; a number may arrive in parts.
    std::string number;

    explicit Handler(json::storage_ptr storage) { stack.reset(std::move(storage)); }

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }
    bool on_object_begin(json::error_code&) { return true; }
    bool on_object_end(std::size_t n, json::error_code&) {
        stack.push_object(n);
        return true;
    }
    bool on_array_begin(json::error_code&) { return true; }
    bool on_array_end(std::size_t n, json::error_code&) {
        stack.push_array(n);
        return true;
    }
    bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
        stack.push_chars(s);
        return true;
    }
    bool on_key(json::string_view s, std::size_t, json::error_code&) {
        stack.push_key(s);
        return true;
    }
    bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
        stack.push_chars(s);
        return true;
    }
    bool on_string(json::string_view s, std::size_t, json::error_code&) {
        stack.push_string(s);
        return true;
    }
    bool on_number_part(json::string_view s, json::error_code&) {
        number.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
        number.clear();
        stack.push_int64(i);
        return true;
    }
    bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
        number.clear();
        stack.push_uint64(u);
        return true;
    }
    bool on_double(double d, json::string_view s, json::error_code&) {
        number.append(s.data(), s.size());
        double exact = 0;
        auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), exact);
        // Out of range (1e400, 1e-400): Boost's value, infinite or zero, as before.
        if (error == std::errc() && end == number.data() + number.size()) {
            d = exact;
        }
        number.clear();
        stack.push_double(d);
        return true;
    }
    bool on_bool(bool b, json::error_code&) {
        stack.push_bool(b);
        return true;
    }
    bool on_null(json::error_code&) {
        stack.push_null();
        return true;
    }
    bool on_comment_part(json::string_view, json::error_code&) { return true; }
    bool on_comment(json::string_view, json::error_code&) { return true; }
};

}  // namespace

json::value parse(std::string_view text, boost::system::error_code& ec, json::storage_ptr storage) {
    json::basic_parser<Handler> parser(json::parse_options{}, std::move(storage));
    auto used = parser.write_some(false, text.data(), text.size(), ec);
    if (!ec && used < text.size()) {
        ec = json::error::extra_data;
    }
    if (ec) {
        return nullptr;
    }
    return parser.handler().stack.release();
}

}  // namespace quelm::JsonParser
