#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"
#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/DummyXorg.hpp"
#include "tests/fakes/HostURL.hpp"

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

// quelmix-host on an Xorg dummy server with two monitors side by side: a 1280x720 primary on
// the left and an 800x600 one on its right.
class HostMonitorsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = DummyXorg::start(why).release();
        if (server && !(server->xrandr("--newmode quelm800 40.00 800 840 968 1056 600 601 605 628 "
                                       "+hsync +vsync") &&
                        server->xrandr("--addmode DUMMY1 quelm800"))) {
            why = "xrandr could not add the test mode";
            delete server;
            server = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        if (!server) {
            GTEST_SKIP() << "Xorg with the dummy driver is not available: " << why;
        }
        ASSERT_TRUE(server->xrandr("--output DUMMY0 --mode 1280x720 --pos 0x0 --primary"));
        ASSERT_TRUE(server->xrandr("--output DUMMY1 --mode quelm800 --right-of DUMMY0"));
        auto pump = X11EventPump::start(server->name());
        ASSERT_TRUE(pump);
        auto displays = X11DisplayServices::create(pump);
        ASSERT_TRUE(displays);
        for (const auto& display : displays->activeDisplays()) {
            (display.bounds.x == 0 ? left : right) = display.id;
        }
        pump->stop();
        ASSERT_NE(left, 0u);
        ASSERT_NE(right, 0u);

        folder = fs::temp_directory_path() / ("quelmix-monitors-test-" + std::to_string(getpid()));
        fs::create_directories(folder);
        host = std::make_unique<ChildProcess>(
            std::vector<std::string>{ChildProcess::built("QuelmHost", "quelmix-host"), "--headless",
                                     "--allow-local", "--port", "0"},
            piped());
        auto line =
            loopbackURL(*host, ChildProcess::built("QuelmHost", "quelmix-host"), environment());
        ASSERT_TRUE(line) << host->errors();
        url = *line;
    }

    void TearDown() override {
        host.reset();
        if (server) {
            server->xrandr("--output DUMMY1 --off");
        }
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    std::vector<std::string> environment() const {
        return {"DISPLAY=" + server->name(), "XDG_DATA_HOME=" + folder.string(),
                "HOME=" + folder.string(), "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
                "PATH=/usr/bin:/bin"};
    }
    // A program of the test, its stdout and stderr read by the test.
    ChildProcess::Options piped() const {
        ChildProcess::Options options{environment()};
        options.pipeStdout = true;
        options.pipeStderr = true;
        return options;
    }

    static inline DummyXorg* server = nullptr;
    static inline std::string why;
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    fs::path folder;
    std::unique_ptr<ChildProcess> host;
    std::string url;
};

TEST_F(HostMonitorsTest, SwitchingDisplaysResendsTheHelloAndStreamsTheOtherMonitor) {
    const auto script = companionScript(
        folder, R"({"at": 1.0, "send": {"display": {"_0": )" + std::to_string(right) + "}}}\n");
    ChildProcess companion(
        companionCommand(url, {"-s", "1280", "-v", "-q", "-T", "3", "--script", script}), piped());
    auto lines = companion.allLines(10);

    std::vector<std::string> hellos;
    std::vector<std::string> sizes;
    static const std::regex video(R"(^video seq=\d+ key=(\d) size=(\d+x\d+))");
    bool keyAfterSwitch = false;
    for (const auto& line : lines) {
        std::smatch match;
        if (line.rfind("hello: ", 0) == 0) {
            hellos.push_back(line);
        } else if (std::regex_search(line, match, video)) {
            if (sizes.empty() || sizes.back() != match[2]) {
                sizes.push_back(match[2]);
                keyAfterSwitch = match[1] == "1";
            }
        }
    }
    ASSERT_EQ(hellos.size(), 2u);
    EXPECT_NE(hellos[0].find("\"displayID\":" + std::to_string(left)), std::string::npos);
    EXPECT_NE(hellos[1].find("\"displayID\":" + std::to_string(right)), std::string::npos);
    EXPECT_EQ(sizes, (std::vector<std::string>{"1280x720", "800x600"}));
    EXPECT_TRUE(keyAfterSwitch);
}

TEST_F(HostMonitorsTest, AMonitorThatGoesAwayStopsItsStream) {
    ChildProcess companion(
        companionCommand(url, {"-s", "1280", "-v", "-q", "-T", "5", "-d", std::to_string(right)}),
        piped());
    auto first = companion.lineStarting("video seq=", 5);
    ASSERT_TRUE(first);
    EXPECT_NE(first->find("size=800x600"), std::string::npos) << *first;
    ASSERT_TRUE(server->xrandr("--output DUMMY1 --off"));
    EXPECT_TRUE(companion.lineStarting("error: captureStopped", 5));
    EXPECT_TRUE(host->running());
}

}  // namespace
}  // namespace quelm::test
