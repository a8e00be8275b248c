#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/HostURL.hpp"
#include "tests/fakes/PrivateSoundServer.hpp"
#include "tests/fakes/PrivateXvfb.hpp"

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// The cookie's size in a "audio seq=1 units=... cookie=N frames=..." line of quelmix-companion -v.
int cookieSize(const std::string& line) {
    static const std::regex cookie(R"( cookie=(\d+))");
    std::smatch match;
    return std::regex_search(line, match, cookie) ? std::stoi(match[1]) : -1;
}

// quelmix-host on a private Xvfb with sound from a private PulseAudio, and quelmix-companion
// asking for sound; the sound server crashes and comes back while the companion listens.
TEST(HostAudio, SoundComesBackWithANewCookieAfterTheSoundServerRestarts) {
    std::string why;
    auto xvfb = PrivateXvfb::start(why);
    if (!xvfb) {
        GTEST_SKIP() << "no X server for the test: " << why;
    }
    PrivateSoundServer sound;
    if (!sound.ready()) {
        GTEST_SKIP() << "no private sound server: " << sound.why();
    }
    const auto folder =
        fs::temp_directory_path() / ("quelmix-audio-test-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::vector<std::string> environment{
        "DISPLAY=" + xvfb->name(), "XDG_DATA_HOME=" + folder.string(),
        "HOME=" + folder.string(), "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
        "PATH=/usr/bin:/bin",      "PULSE_SERVER=" + sound.server()};
    const auto program = ChildProcess::built("QuelmHost", "quelmix-host");
    {
        ChildProcess host({program, "--headless", "--allow-local", "--port", "0"},
                          ChildProcess::piped(environment));
        const auto url = loopbackURL(host, program, environment);
        ASSERT_TRUE(url) << host.errors();

        // The companion only listens: it never switches audio off and on.
        ChildProcess companion({ChildProcess::built("QuelmCompanion", "quelmix-companion"), *url,
                                "-a", "128", "-v", "-q", "--no-decode", "-T", "40"},
                               ChildProcess::piped(environment));
        const auto first = companion.lineStarting("audio seq=1 ", 10);
        ASSERT_TRUE(first) << host.errors();
        EXPECT_GT(cookieSize(*first), 0) << *first;
        ASSERT_TRUE(companion.lineStarting("audio seq=50 ", 5)) << host.errors();

        sound.kill();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_TRUE(sound.restart()) << sound.why();
        // A fresh encoding: sequence numbers from 1, the cookie first.
        const auto resumed = companion.lineStarting("audio seq=1 ", 5);
        ASSERT_TRUE(resumed) << host.errors();
        EXPECT_GT(cookieSize(*resumed), 0) << *resumed;
        EXPECT_TRUE(companion.lineStarting("audio seq=20 ", 5));

        companion.signal(SIGINT);
        companion.wait(5);
        host.signal(SIGTERM);
        EXPECT_EQ(host.wait(10), 0);
        const auto log = host.errors();
        EXPECT_EQ(count(log, "system audio stopped: "), 1) << log;
        EXPECT_EQ(count(log, "system audio unavailable: "), 0) << log;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

}  // namespace
}  // namespace quelm::test
