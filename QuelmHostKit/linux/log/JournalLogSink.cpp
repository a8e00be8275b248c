#include "QuelmHostKit/linux/log/JournalLogSink.hpp"

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <string>

namespace quelm {

namespace {

bool isSocket(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

JournalLogSink::JournalLogSink(const std::string& journalSocket)
    : journal_(isSocket(journalSocket)) {}

void JournalLogSink::write(std::string_view subsystem, std::string_view category,
                           std::string_view message) {
    stderr_.write(subsystem, category, message);
    if (!journal_) {
        return;
    }
    // sd_journal_sendv takes the fields as given, so a message is never read as a format.
    std::string fields[] = {
        "MESSAGE=" + std::string(message),
        "SYSLOG_IDENTIFIER=" + std::string(subsystem),
        "CATEGORY=" + std::string(category),
        "PRIORITY=" + std::to_string(LOG_NOTICE),
    };
    iovec entries[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        entries[i] = {fields[i].data(), fields[i].size()};
    }
    // A journal that stopped answering cannot be told so; stderr already has the line.
    sd_journal_sendv(entries, static_cast<int>(std::size(fields)));
}

}  // namespace quelm
