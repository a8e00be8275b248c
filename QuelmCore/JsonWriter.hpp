#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelm {

// Appends compact JSON tokens to a string. A double that is not finite cannot be written:
// the writer then reports failure through ok() and the text must be discarded.
class JsonWriter {
  public:
    // Room for a typical message, so that most need one allocation.
    JsonWriter() { out_.reserve(128); }

    void raw(std::string_view text) { out_.append(text); }
    void boolean(bool value) { out_.append(value ? "true" : "false"); }
    void number(double value);
    void number(std::int64_t value);
    void number(std::uint64_t value);
    // A JSON string: quotes, backslashes and control characters escaped; a byte sequence that
    // is not UTF-8 becomes U+FFFD so that the text stays valid JSON.
    void string(std::string_view utf8);

    bool ok() const { return ok_; }
    std::string& text() { return out_; }

  private:
    std::string out_;
    bool ok_ = true;
};

}  // namespace quelm
