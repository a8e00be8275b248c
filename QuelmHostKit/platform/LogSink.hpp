#pragma once

#include <string_view>

namespace quelm {

// Where log lines go. Called from any thread; implementations serialise writes themselves.
class LogSink {
  public:
    virtual ~LogSink() = default;
    // One message, without time, subsystem or category: the sink adds what its medium needs.
    virtual void write(std::string_view subsystem, std::string_view category,
                       std::string_view message) = 0;
};

}  // namespace quelm
