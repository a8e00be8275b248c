#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "QuelmHostKit/streaming/DisplaySelection.hpp"
#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"

namespace quelm {
namespace {

namespace fs = std::filesystem;

constexpr const char* kXorgConfig = R"(Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 65536
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 4096 2048
  EndSubSection
EndSection
)";

// An Xorg server on the dummy driver (outputs DUMMY0..DUMMY15), started for this test binary
// in a temporary directory and stopped by its pid.
class DummyXorg {
  public:
    // Nothing, with the reason in `why`, when Xorg cannot start here.
    static std::unique_ptr<DummyXorg> start(std::string& why) {
        const std::string xorg = findXorg();
        if (xorg.empty()) {
            why = "no Xorg binary";
            return nullptr;
        }
        char pattern[] = "/tmp/quelm-xorg-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            why = "no temporary directory";
            return nullptr;
        }
        auto server = std::unique_ptr<DummyXorg>(new DummyXorg(pattern));
        std::ofstream(server->dir_ / "xorg.conf") << kXorgConfig;
        fs::create_directory(server->dir_ / "conf.d");
        if (!server->launch(xorg, why)) {
            return nullptr;
        }
        return server;
    }

    ~DummyXorg() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!exited(std::chrono::seconds(5))) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string name() const { return ":" + std::to_string(number_); }

    // Runs xrandr against this server; true when it succeeds.
    bool xrandr(const std::string& arguments) const {
        const std::string command = "DISPLAY=" + name() + " xrandr " + arguments + " >>" +
                                    (dir_ / "xrandr.log").string() + " 2>&1";
        return std::system(command.c_str()) == 0;
    }

  private:
    explicit DummyXorg(fs::path dir) : dir_(std::move(dir)) {}

    static std::string findXorg() {
        for (const char* candidate : {"/usr/lib/xorg/Xorg", "/usr/bin/Xorg"}) {
            if (access(candidate, X_OK) == 0) {
                return candidate;
            }
        }
        return {};
    }

    // Xorg picks a free display number itself and writes it to the pipe (-displayfd), so
    // parallel test processes never race for one.
    bool launch(const std::string& xorg, std::string& why) {
        const std::string config = (dir_ / "xorg.conf").string();
        const std::string configDir = (dir_ / "conf.d").string();
        const std::string log = (dir_ / "xorg.log").string();
        const std::string output = (dir_ / "xorg.out").string();
        int numberPipe[2];
        if (pipe(numberPipe) != 0) {
            why = "pipe failed";
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(numberPipe[0]);
            if (FILE* out = std::freopen(output.c_str(), "w", stdout)) {
                dup2(fileno(out), STDERR_FILENO);
            }
            const std::string fd = std::to_string(numberPipe[1]);
            execl(xorg.c_str(), xorg.c_str(), "-displayfd", fd.c_str(), "-config", config.c_str(),
                  "-configdir", configDir.c_str(), "-noreset", "-nolisten", "tcp", "-logfile",
                  log.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(numberPipe[1]);
        if (pid_ < 0) {
            close(numberPipe[0]);
            why = "fork failed";
            return false;
        }
        const auto number = readNumber(numberPipe[0], std::chrono::seconds(15));
        close(numberPipe[0]);
        if (!number) {
            why = "Xorg gave no display number: " + tail(output);
            return false;
        }
        number_ = *number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            if (X11DisplayServices::connect(name())) {
                return true;
            }
            if (exited(std::chrono::milliseconds(50))) {
                pid_ = -1;
                why = "Xorg exited at start: " + tail(output);
                return false;
            }
        }
        why = "Xorg did not accept connections in time: " + tail(output);
        return false;
    }

    static std::optional<int> readNumber(int fd, std::chrono::seconds limit) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, 100) <= 0) {
                continue;
            }
            char chunk[16];
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            text.append(chunk, static_cast<std::size_t>(got));
            if (text.find('\n') != std::string::npos) {
                return std::atoi(text.c_str());
            }
        }
        return std::nullopt;
    }

    // True once the server has exited (and is reaped), waiting up to `limit`.
    bool exited(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    static std::string tail(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        const std::string all = text.str();
        return all.size() > 400 ? all.substr(all.size() - 400) : all;
    }

    fs::path dir_;
    int number_ = 0;
    pid_t pid_ = -1;
};

class X11DisplayServicesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = DummyXorg::start(why_).release();
        if (server_ && !(server_->xrandr("--newmode quelm800 40.00 800 840 968 1056 600 601 605 "
                                         "628 +hsync +vsync") &&
                         server_->xrandr("--addmode DUMMY1 quelm800") &&
                         server_->xrandr("--addmode DUMMY2 quelm800"))) {
            why_ = "xrandr could not add the test mode";
            delete server_;
            server_ = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        if (!server_) {
            GTEST_SKIP() << "Xorg with the dummy driver is not available: " << why_;
        }
        // One 1280x720 primary monitor at the origin.
        ASSERT_TRUE(server_->xrandr("--output DUMMY2 --off --output DUMMY1 --off"));
        ASSERT_TRUE(server_->xrandr("--output DUMMY0 --mode 1280x720 --pos 0x0 --primary"));
        services_ = X11DisplayServices::connect(server_->name());
        ASSERT_NE(services_, nullptr);
    }

    bool attachRightMonitor() const {
        return server_->xrandr("--output DUMMY1 --mode quelm800 --right-of DUMMY0");
    }

    static std::optional<ActiveDisplay> at(const std::vector<ActiveDisplay>& displays, double x) {
        for (const auto& d : displays) {
            if (d.bounds.x == x && d.mirrorOf == 0) {
                return d;
            }
        }
        return std::nullopt;
    }

    static inline DummyXorg* server_ = nullptr;
    static inline std::string why_;
    std::shared_ptr<X11DisplayServices> services_;
};

TEST_F(X11DisplayServicesTest, TwoMonitorsSideBySideWithStableIds) {
    ASSERT_TRUE(attachRightMonitor());
    const auto displays = services_->activeDisplays();
    ASSERT_EQ(displays.size(), 2u);
    const auto left = at(displays, 0);
    const auto right = at(displays, 1280);
    ASSERT_TRUE(left && right);
    EXPECT_NE(left->id, 0u);
    EXPECT_NE(right->id, 0u);
    EXPECT_NE(left->id, right->id);
    EXPECT_EQ(left->bounds, (DisplayRect{0, 0, 1280, 720}));
    EXPECT_EQ(right->bounds, (DisplayRect{1280, 0, 800, 600}));
    EXPECT_TRUE(left->isPrimary);
    EXPECT_FALSE(right->isPrimary);
    EXPECT_FALSE(left->isBuiltIn);

    // Detached and attached again: both keep their ids.
    ASSERT_TRUE(server_->xrandr("--output DUMMY1 --off"));
    const auto alone = services_->activeDisplays();
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone[0].id, left->id);
    ASSERT_TRUE(attachRightMonitor());
    const auto again = services_->activeDisplays();
    ASSERT_EQ(again.size(), 2u);
    ASSERT_TRUE(at(again, 0) && at(again, 1280));
    EXPECT_EQ(at(again, 0)->id, left->id);
    EXPECT_EQ(at(again, 1280)->id, right->id);
}

TEST_F(X11DisplayServicesTest, SelectionFollowsThePrimaryAndComesBackToARequest) {
    ASSERT_TRUE(attachRightMonitor());
    DisplaySelection selection(services_);
    const auto displays = services_->activeDisplays();
    ASSERT_TRUE(at(displays, 0) && at(displays, 1280));
    const std::uint32_t leftID = at(displays, 0)->id;
    const std::uint32_t rightID = at(displays, 1280)->id;

    ASSERT_TRUE(server_->xrandr("--output DUMMY1 --primary"));
    EXPECT_EQ(selection.current(), rightID);
    const std::vector<DisplayInfo> expected{{leftID, 1280, 720, false, false},
                                            {rightID, 800, 600, true, false}};
    EXPECT_EQ(selection.list(), expected);

    ASSERT_TRUE(server_->xrandr("--output DUMMY0 --primary"));
    selection.select(rightID);
    ASSERT_TRUE(server_->xrandr("--output DUMMY1 --off"));
    EXPECT_EQ(selection.current(), leftID);
    EXPECT_EQ(selection.bounds(), (DisplayRect{0, 0, 1280, 720}));
    ASSERT_TRUE(attachRightMonitor());
    EXPECT_EQ(selection.current(), rightID);
    EXPECT_EQ(selection.bounds(), (DisplayRect{1280, 0, 800, 600}));
}

TEST_F(X11DisplayServicesTest, MirroredOutputIsOfferedOnce) {
    ASSERT_TRUE(attachRightMonitor());
    ASSERT_TRUE(server_->xrandr("--output DUMMY2 --mode quelm800 --same-as DUMMY1"));
    const auto displays = services_->activeDisplays();
    ASSERT_EQ(displays.size(), 3u);
    const auto copies = std::count_if(displays.begin(), displays.end(),
                                      [](const ActiveDisplay& d) { return d.mirrorOf != 0; });
    EXPECT_EQ(copies, 1);

    DisplaySelection selection(services_);
    const auto list = selection.list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].width, 1280);
    EXPECT_EQ(list[1].width, 800);
}

TEST_F(X11DisplayServicesTest, WithoutAPrimaryTheMonitorAtTheOriginIsMain) {
    ASSERT_TRUE(server_->xrandr("--output DUMMY0 --pos 800x0"));
    ASSERT_TRUE(server_->xrandr("--output DUMMY1 --mode quelm800 --pos 0x0"));
    ASSERT_TRUE(server_->xrandr("--noprimary"));
    const auto displays = services_->activeDisplays();
    ASSERT_EQ(displays.size(), 2u);
    for (const auto& d : displays) {
        EXPECT_FALSE(d.isPrimary) << d.id;
    }
    DisplaySelection selection(services_);
    ASSERT_TRUE(at(displays, 0));
    EXPECT_EQ(selection.current(), at(displays, 0)->id);
}

TEST(X11DisplayServices, UnreachableServerGivesNothing) {
    EXPECT_EQ(X11DisplayServices::connect(":4093"), nullptr);
}

TEST(X11DisplayServices, PanelConnectorNames) {
    const std::pair<const char*, bool> cases[] = {
        {"eDP-1", true}, {"eDP1", true}, {"EDP-1-1", true}, {"LVDS-1", true},  {"LVDS", true},
        {"dsi-0", true}, {"DSI1", true}, {"HDMI-1", false}, {"DP-2", false},   {"DUMMY0", false},
        {"eDPX", false}, {"", false},    {"VGA-1", false},  {"DSIx-1", false},
    };
    for (const auto& [name, panel] : cases) {
        EXPECT_EQ(X11DisplayServices::isPanelName(name), panel) << name;
    }
}

TEST(X11DisplayServices, LaterDisplaysOfEqualGeometryAreMirrorCopies) {
    std::vector<ActiveDisplay> displays{
        {.id = 1, .bounds = {0, 0, 800, 600}},  {.id = 2, .bounds = {800, 0, 800, 600}},
        {.id = 3, .bounds = {0, 0, 800, 600}},  {.id = 4, .bounds = {0, 0, 800, 600}},
        {.id = 5, .bounds = {0, 0, 1024, 768}},
    };
    X11DisplayServices::markMirrors(displays);
    const std::uint32_t expected[] = {0, 0, 1, 1, 0};
    for (std::size_t i = 0; i < displays.size(); ++i) {
        EXPECT_EQ(displays[i].mirrorOf, expected[i]) << "display " << displays[i].id;
    }
}

}  // namespace
}  // namespace quelm
