#pragma once

#include <string>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

// Writes every line to stderr, as the default sink does, and also to the systemd journal when
// one is reachable, with the subsystem as SYSLOG_IDENTIFIER and the category as CATEGORY, at
// notice priority. Whether the journal is there is decided once, at construction.
// Thread-safe: both writers take whole lines.
class JournalLogSink final : public LogSink {
  public:
    static constexpr const char* defaultSocket = "/run/systemd/journal/socket";

    explicit JournalLogSink(const std::string& journalSocket = defaultSocket);

    bool journalReachable() const { return journal_; }

    void write(std::string_view subsystem, std::string_view category,
               std::string_view message) override;

  private:
    Log::StderrSink stderr_;
    bool journal_;
};

}  // namespace quelm
