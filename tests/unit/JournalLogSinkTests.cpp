#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "QuelmCore/AppIdentity.hpp"
#include "QuelmHostKit/linux/log/JournalLogSink.hpp"

namespace quelm {
namespace {

TEST(JournalLogSink, WritesTheStderrLineWhetherOrNotAJournalIsThere) {
    char dir[] = "/tmp/quelm-journal-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string socketPath = std::string(dir) + "/socket";
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    JournalLogSink absent(std::string(dir) + "/missing");
    JournalLogSink folder{std::string(dir)};  // a folder is not a socket
    JournalLogSink present(socketPath);
    EXPECT_FALSE(absent.journalReachable());
    EXPECT_FALSE(folder.journalReachable());
    EXPECT_TRUE(present.journalReachable());

    for (auto* sink : {&absent, &present}) {
        ::testing::internal::CaptureStderr();
        sink->write(kApplicationId, "host", "connected: 100.101.102.103 %s %n");
        auto line = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(line.find(" io.quelmix.host[host] connected: 100.101.102.103 %s %n\n"),
                  std::string::npos)
            << line;
    }
    ::close(fd);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quelm
