#include "QuelmHostKit/linux/log/JournalLogSink.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quelm {

namespace {

// Longest message sent again after the journal refused a datagram as too large.
constexpr std::size_t kShortenedMessage = 16 * 1024;

bool isSocket(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

std::optional<std::string_view> environmentStream() {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string_view(value);
}

template <typename T>
bool parseNumber(std::string_view text, T& out) {
    const auto* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, out);
    return error == std::errc{} && rest == end && !text.empty();
}

// One field of the native protocol. A value with a line break goes in the binary form: the
// name, a line break, the value's length as 64-bit little-endian, the value.
void appendField(std::string& out, std::string_view name, std::string_view value) {
    out.append(name);
    if (value.find('\n') == std::string_view::npos) {
        out.append("=").append(value).append("\n");
        return;
    }
    out.append("\n");
    std::uint64_t length = value.size();
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>(length & 0xFF));
        length >>= 8;
    }
    out.append(value).append("\n");
}

}  // namespace

JournalLogSink::JournalLogSink() : JournalLogSink(defaultSocket, environmentStream()) {}

JournalLogSink::JournalLogSink(const std::string& journalSocket,
                               std::optional<std::string_view> journalStream)
    : path_(journalSocket) {
    sockaddr_un address{};
    if (isSocket(journalSocket) && journalSocket.size() < sizeof address.sun_path) {
        socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    stderrIsJournal_ = journalStream && isJournalStream(STDERR_FILENO, *journalStream);
}

JournalLogSink::~JournalLogSink() {
    if (socket_ >= 0) {
        ::close(socket_);
    }
}

bool JournalLogSink::isJournalStream(int fd, std::string_view journalStream) {
    const auto colon = journalStream.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    struct stat st {};
    return parseNumber(journalStream.substr(0, colon), device) &&
           parseNumber(journalStream.substr(colon + 1), inode) && ::fstat(fd, &st) == 0 &&
           static_cast<std::uint64_t>(st.st_dev) == device &&
           static_cast<std::uint64_t>(st.st_ino) == inode;
}

void JournalLogSink::write(std::string_view subsystem, std::string_view category,
                           std::string_view message) {
    const bool journaled = socket_ >= 0 && send(subsystem, category, message);
    if (!journaled || !stderrIsJournal_) {
        stderr_.write(subsystem, category, message);
    }
}

bool JournalLogSink::send(std::string_view subsystem, std::string_view category,
                          std::string_view message) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());

    std::string datagram;
    auto build = [&](std::string_view text) {
        datagram.clear();
        datagram.reserve(text.size() + subsystem.size() + category.size() + 64);
        // Fields are taken as given, so a message is never read as a format.
        appendField(datagram, "MESSAGE", text);
        appendField(datagram, "SYSLOG_IDENTIFIER", subsystem);
        appendField(datagram, "CATEGORY", category);
        appendField(datagram, "PRIORITY", std::to_string(LOG_NOTICE));
    };
    // The error of the send, 0 when the whole datagram went.
    auto sendOnce = [&] {
        ssize_t sent;
        do {
            sent = ::sendto(socket_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (sent < 0 && errno == EINTR);
        return sent < 0 ? errno : 0;
    };
    build(message);
    const int error = sendOnce();
    if (error == 0) {
        return true;
    }
    if (error == EMSGSIZE && message.size() > kShortenedMessage) {
        build(message.substr(0, kShortenedMessage));
        return sendOnce() == 0;
    }
    // A busy or vanished journal: the caller falls back to stderr.
    return false;
}

}  // namespace quelm
