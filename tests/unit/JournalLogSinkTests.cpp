#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "QuelmCore/AppIdentity.hpp"
#include "QuelmHostKit/linux/log/JournalLogSink.hpp"

namespace quelm {
namespace {

using Fields = std::map<std::string, std::string>;

// Reads one entry of the journal's native protocol: "NAME=value\n", or for a value with line
// breaks "NAME\n", its 64-bit little-endian length, the value and "\n".
std::optional<Fields> parseEntry(const std::string& datagram) {
    Fields fields;
    std::size_t at = 0;
    while (at < datagram.size()) {
        const auto end = datagram.find('\n', at);
        if (end == std::string::npos) {
            return std::nullopt;
        }
        const auto line = datagram.substr(at, end - at);
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
            at = end + 1;
            continue;
        }
        if (end + 9 > datagram.size()) {
            return std::nullopt;
        }
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) {
            length = (length << 8) | static_cast<unsigned char>(datagram[end + 1 + i]);
        }
        const std::size_t value = end + 9;
        if (length > datagram.size() - value || value + length >= datagram.size() ||
            datagram[value + length] != '\n') {
            return std::nullopt;
        }
        fields[line] = datagram.substr(value, length);
        at = value + length + 1;
    }
    return fields;
}

std::string streamOf(int fd) {
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// A journal of the test's own: a datagram socket in a fresh folder.
class JournalLogSinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
        socketPath_ = dir_ + "/socket";
        journal_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath_.c_str());
        ASSERT_EQ(::bind(journal_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }

    void TearDown() override {
        closeJournal();
        std::filesystem::remove_all(dir_);
    }

    void closeJournal() {
        if (journal_ >= 0) {
            ::close(journal_);
            journal_ = -1;
        }
    }

    // The next entry the journal received, nothing when there is none.
    std::optional<Fields> received() {
        std::string buffer(1 << 16, '\0');
        const auto got = ::recv(journal_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<std::size_t>(got));
        auto fields = parseEntry(buffer);
        EXPECT_TRUE(fields) << buffer;
        return fields;
    }

    // What the sink writes to stderr for one message.
    static std::string stderrOf(JournalLogSink& sink, std::string_view message) {
        ::testing::internal::CaptureStderr();
        sink.write(kApplicationId, "host", message);
        return ::testing::internal::GetCapturedStderr();
    }

    std::string dir_ = "/tmp/quelm-journal-XXXXXX";
    std::string socketPath_;
    int journal_ = -1;
};

TEST_F(JournalLogSinkTest, SendsEachLineAsOneEntryWithItsFields) {
    JournalLogSink sink(socketPath_, std::nullopt);
    ASSERT_TRUE(sink.journalReachable());
    EXPECT_FALSE(sink.stderrIsJournal());

    // Not the journal's stream: stderr gets the line as well.
    const std::string message = "connected: 100.101.102.103 %s %n";
    const auto line = stderrOf(sink, message);
    EXPECT_NE(line.find(" io.quelmix.host[host] " + message + "\n"), std::string::npos) << line;
    EXPECT_EQ(received(), (Fields{{"MESSAGE", message},
                                  {"SYSLOG_IDENTIFIER", "io.quelmix.host"},
                                  {"CATEGORY", "host"},
                                  {"PRIORITY", "5"}}));
    EXPECT_FALSE(received());

    // Line breaks and '=' survive in the binary form of a field.
    const std::string twoLines = "first=1\nsecond\n";
    stderrOf(sink, twoLines);
    const auto entry = received();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->at("MESSAGE"), twoLines);
    EXPECT_EQ(entry->at("CATEGORY"), "host");
}

TEST_F(JournalLogSinkTest, WritesOnceWhenStderrIsTheJournal) {
    JournalLogSink sink(socketPath_, streamOf(STDERR_FILENO));
    ASSERT_TRUE(sink.stderrIsJournal());
    EXPECT_EQ(stderrOf(sink, "started"), "");
    const auto entry = received();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->at("MESSAGE"), "started");

    // A journal that went away leaves stderr to carry the line.
    closeJournal();
    const auto line = stderrOf(sink, "still here");
    EXPECT_NE(line.find("[host] still here\n"), std::string::npos) << line;
}

TEST_F(JournalLogSinkTest, StderrIsTheJournalOnlyWhenTheStreamNamesIt) {
    const std::string file = dir_ + "/file";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const int fd = ::fileno(f);
    const std::string stream = streamOf(fd);
    EXPECT_TRUE(JournalLogSink::isJournalStream(fd, stream));
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    const std::string otherInode = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
    for (const std::string& bad : {otherInode, stream + ":", " " + stream, stream + "x",
                                   std::to_string(st.st_dev), std::string(":"), std::string()}) {
        EXPECT_FALSE(JournalLogSink::isJournalStream(fd, bad)) << bad;
    }
    std::fclose(f);

    // The default sink reads the stream from the environment.
    const char* saved = std::getenv("JOURNAL_STREAM");
    const std::optional<std::string> previous =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("JOURNAL_STREAM", streamOf(STDERR_FILENO).c_str(), 1);
    EXPECT_TRUE(JournalLogSink().stderrIsJournal());
    ::setenv("JOURNAL_STREAM", otherInode.c_str(), 1);
    EXPECT_FALSE(JournalLogSink().stderrIsJournal());
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(JournalLogSink().stderrIsJournal());
    if (previous) {
        ::setenv("JOURNAL_STREAM", previous->c_str(), 1);
    }
}

TEST_F(JournalLogSinkTest, WithoutAJournalEveryLineGoesToStderr) {
    JournalLogSink absent(dir_ + "/missing", streamOf(STDERR_FILENO));
    JournalLogSink folder(dir_, std::nullopt);  // a folder is not a socket
    EXPECT_FALSE(absent.journalReachable());
    EXPECT_FALSE(folder.journalReachable());
    for (auto* sink : {&absent, &folder}) {
        const auto line = stderrOf(*sink, "connected: 100.101.102.103 %s %n");
        EXPECT_NE(line.find(" io.quelmix.host[host] connected: 100.101.102.103 %s %n\n"),
                  std::string::npos)
            << line;
    }
    EXPECT_FALSE(received());
}

}  // namespace
}  // namespace quelm
