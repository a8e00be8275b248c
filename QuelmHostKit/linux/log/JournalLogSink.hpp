#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

// Writes every line to the systemd journal, in the journal's native protocol over its datagram
// socket, with the subsystem as SYSLOG_IDENTIFIER and the category as CATEGORY, at notice
// priority; and to stderr, as the default sink does, unless stderr already is the journal (as
// under a systemd service) and the journal took the line. Both decisions are made once, at
// construction. Never blocks: a journal that is busy or gone gets nothing, stderr gets the line.
// Thread-safe: both writers take whole lines.
class JournalLogSink final : public LogSink {
  public:
    static constexpr const char* defaultSocket = "/run/systemd/journal/socket";

    // The system journal; stderr is the journal when JOURNAL_STREAM names it.
    JournalLogSink();
    // A journal listening at `journalSocket`; `journalStream` is what JOURNAL_STREAM would hold
    // ("device:inode" of the journal's stream), nothing when unset.
    JournalLogSink(const std::string& journalSocket, std::optional<std::string_view> journalStream);
    ~JournalLogSink() override;
    JournalLogSink(const JournalLogSink&) = delete;
    JournalLogSink& operator=(const JournalLogSink&) = delete;

    bool journalReachable() const { return socket_ >= 0; }
    bool stderrIsJournal() const { return stderrIsJournal_; }

    // Whether the open file `fd` is the stream `journalStream` ("device:inode") names.
    static bool isJournalStream(int fd, std::string_view journalStream);

    void write(std::string_view subsystem, std::string_view category,
               std::string_view message) override;

  private:
    bool send(std::string_view subsystem, std::string_view category, std::string_view message);

    Log::StderrSink stderr_;
    std::string path_;
    int socket_ = -1;
    bool stderrIsJournal_ = false;
};

}  // namespace quelm
