#pragma once

#include <memory>
#include <string_view>

#include "QuelmHostKit/platform/LogSink.hpp"

namespace quelm::Log {

inline constexpr std::string_view category = "host";

// The one logging entry point; any thread.
void info(std::string_view message);

// Replaces the sink and returns the previous one. The default writes lines to stderr.
std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);

// The default sink's line: "2026-12-10T02:06:59.123Z io.quelmix.host[host] message".
class StderrSink : public LogSink {
  public:
    void write(std::string_view subsystem, std::string_view category,
               std::string_view message) override;
};

}  // namespace quelm::Log
