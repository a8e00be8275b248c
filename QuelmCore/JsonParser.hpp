#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>
#include <string_view>

namespace quelm::JsonParser {

// Parses one JSON text like boost::json::parse, but reads every number with a fraction or an
// exponent correctly rounded, so that the shortest text of a double (what JsonWriter writes)
// reads back as the same double. Boost.JSON's own reading can be off by a few units in the last
// place for 17-digit numbers ("1.6666666666666665" became 1.6666666666666663).
boost::json::value parse(std::string_view text, boost::system::error_code& ec,
                         boost::json::storage_ptr storage = {});

}  // namespace quelm::JsonParser
