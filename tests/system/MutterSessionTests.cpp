#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "QuelmHostKit/linux/wayland/mutter/MutterHostEnvironment.hpp"
#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/HostURL.hpp"
#include "tests/fakes/TestPattern.hpp"
#include "tests/fakes/TestWindow.hpp"

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

bool onPath(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

int videoFrames(const std::vector<std::string>& lines) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("video seq=", 0) == 0;
    }));
}

// Script lines for quelmix-companion.
std::string moveTo(double at, double x, double y) {
    return R"({"at": )" + std::to_string(at) + R"(, "send": {"moveTo": {"x": )" +
           std::to_string(x) + R"(, "y": )" + std::to_string(y) + "}}}\n";
}

std::string scriptLine(const std::string& at, const std::string& message) {
    return "{" + at + R"(, "send": )" + message + "}\n";
}

std::string clipboardSharing(double at) {
    return scriptLine(R"("at": )" + std::to_string(at), R"({"clipboardSharing": {"_0": true}})");
}

std::string click(double at) {
    return scriptLine(R"("at": )" + std::to_string(at),
                      R"({"button": {"right": false, "down": true, "modifiers": 0}})") +
           scriptLine(R"("after": 0.05)",
                      R"({"button": {"right": false, "down": false, "modifiers": 0}})");
}

std::string keyTap(double at, int code) {
    const std::string key = R"({"key": {"code": )" + std::to_string(code) + R"(, "down": )";
    return scriptLine(R"("at": )" + std::to_string(at),
                      key + R"(true, "isRepeat": false, "modifiers": 0}})") +
           scriptLine(R"("after": 0.05)", key + R"(false, "isRepeat": false, "modifiers": 0}})");
}

// The companion's key code of Shift.
constexpr int kShift = 56;

// The session's variables set in this process while it lives, for services made in-process.
class SessionVariables {
  public:
    explicit SessionVariables(const std::vector<std::string>& assignments) {
        for (const auto& assignment : assignments) {
            const auto name = assignment.substr(0, assignment.find('='));
            const char* old = std::getenv(name.c_str());
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            setenv(name.c_str(), assignment.substr(name.size() + 1).c_str(), 1);
        }
    }
    ~SessionVariables() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    SessionVariables(const SessionVariables&) = delete;
    SessionVariables& operator=(const SessionVariables&) = delete;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A fresh headless mutter (with its own bus and PipeWire), the tests' own window full-screen in
// it, and quelmix-host headless on it. Skipped where mutter or the programs are missing.
class MutterSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto* program : {"mutter", "pipewire", "wireplumber", "dbus-daemon"}) {
            if (!onPath(program)) {
                GTEST_SKIP() << "not installed: " << program;
            }
        }
        folder = fs::temp_directory_path() /
                 ("quelmix-mutter-test-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder);
        commands = (folder / "commands").string();
        ASSERT_EQ(mkfifo(commands.c_str(), 0600), 0);

        compositor = std::make_unique<ChildProcess>(std::vector<std::string>{QUELM_HEADLESS_MUTTER},
                                                    ChildProcess::piped({"PATH=/usr/bin:/bin"}));
        for (auto line = compositor->nextLine(20); line && *line != "ready";
             line = compositor->nextLine(20)) {
            if (line->rfind("env ", 0) == 0) {
                session.push_back(line->substr(4));
            } else if (line->rfind("pid mutter ", 0) == 0) {
                mutterPid = std::stoi(line->substr(11));
            }
        }
        ASSERT_GT(mutterPid, 0) << compositor->errors();

        client = std::make_unique<ChildProcess>(
            std::vector<std::string>{TestWindow::program(), commands},
            ChildProcess::piped(environment({"GDK_BACKEND=wayland", "NO_AT_BRIDGE=1"})));
        auto shown = TestWindow::awaitShown(*client);
        ASSERT_TRUE(shown) << client->errors();
        entry = *shown;

        host = std::make_unique<ChildProcess>(
            std::vector<std::string>{ChildProcess::built("QuelmHost", "quelmix-host"), "--headless",
                                     "--allow-local", "--port", "0"},
            ChildProcess::piped(environment()));
        auto line =
            loopbackURL(*host, ChildProcess::built("QuelmHost", "quelmix-host"), environment(), 15);
        ASSERT_TRUE(line) << host->errors();
        url = *line;
    }

    void TearDown() override {
        host.reset();
        client.reset();
        if (compositor) {
            compositor->signal(SIGTERM);
            compositor->wait(5);
        }
        compositor.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    std::vector<std::string> environment(std::vector<std::string> extra = {}) const {
        std::vector<std::string> out = session;
        out.push_back("HOME=" + folder.string());
        out.push_back("XDG_DATA_HOME=" + folder.string());
        out.push_back("PATH=/usr/bin:/bin");
        out.insert(out.end(), extra.begin(), extra.end());
        return out;
    }

    std::vector<std::string> companion(std::vector<std::string> args, double limit = 20) {
        ChildProcess process(companionCommand(url, std::move(args)),
                             ChildProcess::piped(environment()));
        auto lines = process.allLines(limit);
        process.wait(2);
        return lines;
    }

    std::string script(const std::string& text) const { return companionScript(folder, text); }

    void tellClient(const std::string& command) { std::ofstream(commands) << command << "\n"; }

    // The client's next line that starts with `prefix` and matches `pattern`.
    bool clientSays(const std::string& pattern, double seconds = 5) {
        const std::regex wanted(pattern);
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            auto line = client->nextLine(0.2);
            if (line) {
                clientLines += *line + "\n";
            }
            if (line && std::regex_search(*line, wanted)) {
                return true;
            }
        }
        return false;
    }

    fs::path folder;
    std::string commands;
    // Where the client's entry is, in screen coordinates (the window is full screen).
    WindowRect entry;
    // What the client said so far, for failure messages.
    std::string clientLines;
    std::vector<std::string> session;
    int mutterPid = 0;
    std::unique_ptr<ChildProcess> compositor;
    std::unique_ptr<ChildProcess> client;
    std::unique_ptr<ChildProcess> host;
    std::string url;
};

TEST_F(MutterSessionTest, TheDecodedPictureIsTheClientsPattern) {
    // The pointer goes into the entry, which is left out of the comparison.
    const auto png = (folder / "screen.png").string();
    companion({"-s", "1920", "-b", "20", "-T", "6", "-q", "-o", png, "--script",
               script(moveTo(0.3, (entry.x + entry.width / 2.0) / kWidth,
                             (entry.y + entry.height / 2.0) / kHeight))});
    EXPECT_NE(host->errors().find("desktop session: GNOME on Wayland"), std::string::npos)
        << host->errors();

    GError* error = nullptr;
    GdkPixbuf* picture = gdk_pixbuf_new_from_file(png.c_str(), &error);
    ASSERT_NE(picture, nullptr) << (error ? error->message : "no picture") << host->errors();
    ASSERT_EQ(gdk_pixbuf_get_width(picture), kWidth);
    ASSERT_EQ(gdk_pixbuf_get_height(picture), kHeight);
    const int stride = gdk_pixbuf_get_rowstride(picture);
    const int channels = gdk_pixbuf_get_n_channels(picture);
    const guchar* pixels = gdk_pixbuf_get_pixels(picture);
    double squares = 0;
    long count = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (entry.contains(x, y)) {
                continue;
            }
            const guchar* p = pixels + y * stride + x * channels;
            const double difference = videoLuma(std::uint32_t(p[0]) << 16 | p[1] << 8 | p[2]) -
                                      videoLuma(testPatternPixel(x, y, kWidth, kHeight));
            squares += difference * difference;
            ++count;
        }
    }
    g_object_unref(picture);
    const double psnr = 10 * std::log10(255.0 * 255.0 / std::max(squares / count, 1e-9));
    EXPECT_GE(psnr, 30.0);
}

TEST_F(MutterSessionTest, AStillScreenGivesOnePictureAndItsRefinements) {
    auto lines = companion({"-s", "960", "-v", "-q", "-T", "6"});
    EXPECT_EQ(videoFrames(lines), 4) << host->errors();
}

// Caps lock is the companion's key 57: on, a key comes out capital, text is typed as it is, off.
TEST_F(MutterSessionTest, PointerKeysAndTextReachTheClient) {
    // Mutter can drop the first key of a new session: "b" goes first and may be lost.
    const std::string text = "日本語 café 😀";
    constexpr int kCapsLock = 57;
    companion({"-s", "640", "-q", "-T", "7", "--script",
               script(moveTo(0.5, 0.25, 0.5) + click(0.8) + keyTap(1.2, 11) + keyTap(2.0, 0) +
                      R"({"at": 2.5, "send": {"text": {"_0": ")" + text + "\"}}}\n" +
                      keyTap(3.0, kCapsLock) + keyTap(3.4, 0) +
                      R"({"at": 3.8, "send": {"text": {"_0": "ab"}}})" + "\n" +
                      keyTap(4.2, kCapsLock) + keyTap(4.6, 0))});
    EXPECT_TRUE(clientSays(R"(^(enter|motion) 480 540$)")) << host->errors();
    EXPECT_TRUE(clientSays(R"(^button 1 down 480 540$)"));
    EXPECT_TRUE(clientSays(R"(^key down a 38$)"));
    EXPECT_TRUE(clientSays("^text b?a" + text + "Aaba$", 8)) << clientLines;
}

// The clipboard both ways between the companion and the window. Headless mutter has no keyboard
// until the session's first key, and a Wayland window sees the clipboard only with the keyboard
// focus: a Shift tap comes first.
TEST_F(MutterSessionTest, TheClipboardGoesBothWaysButAPasswordManagersCopyStaysHere) {
    const auto fromPhone =
        scriptLine(R"("at": 0.6)", R"({"clipboard": {"_0": "from the phone ✓"}})");
    ChildProcess phone(
        companionCommand(url, {"-v", "-q", "-s", "640", "-T", "40", "--script",
                               script(clipboardSharing(0.2) + keyTap(0.3, kShift) + fromPhone)}),
        ChildProcess::piped(environment()));
    ASSERT_TRUE(clientSays("^focus$", 10)) << host->errors() << clientLines;

    // The window hears of the new selection a moment after the host sets it.
    bool pasted = false;
    for (int attempt = 0; attempt < 20 && !pasted; ++attempt) {
        tellClient("paste");
        pasted = clientSays("^clipboard from the phone ✓$", 0.5);
    }
    EXPECT_TRUE(pasted) << host->errors() << clientLines;

    // The window's copy is the first clipboard text the companion gets: its own did not come
    // back.
    const std::string clipboardMessage = R"(message: {"clipboard")";
    tellClient("copy from the desktop ✓");
    ASSERT_TRUE(clientSays("^copied$"));
    EXPECT_EQ(phone.lineStarting(clipboardMessage, 10),
              R"(message: {"clipboard":{"_0":"from the desktop ✓"}})")
        << host->errors();

    // A password manager's copy stays here; the plain copy after it goes. The pause is longer
    // than the host takes to look at the clipboard (every half second).
    tellClient("copy-secret hunter2");
    ASSERT_TRUE(clientSays("^copied$"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    tellClient("copy after the secret");
    EXPECT_EQ(phone.lineStarting(clipboardMessage, 10),
              R"(message: {"clipboard":{"_0":"after the secret"}})");
    phone.signal(SIGINT);
    phone.wait(5);
}

TEST_F(MutterSessionTest, LosingTheCompositorStopsTheStreamAndTheHostLivesOn) {
    const auto args = std::vector<std::string>{
        ChildProcess::built("QuelmCompanion", "quelmix-companion"), url, "-v", "-q", "-T", "12"};
    ChildProcess first(args, ChildProcess::piped(environment()));
    ASSERT_TRUE(first.lineStarting("video seq=", 10)) << host->errors();
    ASSERT_EQ(kill(mutterPid, SIGKILL), 0);
    EXPECT_TRUE(first.lineStarting("error: captureStopped", 5)) << host->errors();
    first.wait(12);
    EXPECT_TRUE(host->running());
    {
        ChildProcess second(args, ChildProcess::piped(environment()));
        EXPECT_TRUE(second.lineStarting("hello: ", 5));
    }
    EXPECT_TRUE(host->running());

    // A new compositor in the same session: the host follows it and streams again.
    ChildProcess mutter(
        {ChildProcess::find("mutter"), "--wayland", "--no-x11", "--headless", "--virtual-monitor",
         std::to_string(kWidth) + "x" + std::to_string(kHeight)},
        ChildProcess::piped(environment()));
    const auto back = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (host->errors().find("remote desktop session started") ==
               host->errors().rfind("remote desktop session started") &&
           std::chrono::steady_clock::now() < back) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ChildProcess third(args, ChildProcess::piped(environment()));
    EXPECT_TRUE(third.lineStarting("video seq=", 10)) << host->errors() << mutter.errors();
    third.signal(SIGINT);
    third.wait(5);
    EXPECT_TRUE(host->running());
    mutter.signal(SIGTERM);
    mutter.wait(5);
}

// In the host's own process: the capture service of the session, with the QR window's rectangle
// registered and then removed.
TEST_F(MutterSessionTest, NoPictureOfTheScreenWhileTheSecretIsShown) {
    SessionVariables variables(session);
    auto registry = std::make_shared<NeverCaptureRegistry>();
    const auto secret = registry->add(DisplayRect{760, 340, 400, 400});
    {
        MutterHostEnvironment environment(registry);
        auto capture = environment.captureService();
        auto displays = std::get<std::vector<CaptureDisplay>>(capture->displays());
        ASSERT_EQ(displays.size(), 1u);
        std::mutex mutex;
        std::vector<double> means;
        CaptureStream::Receivers receivers;
        receivers.onPicture = [&](PixelBufferRef picture) {
            double sum = 0;
            const std::size_t size = std::size_t(picture->width()) * picture->height();
            for (std::size_t i = 0; i < size; ++i) {
                sum += picture->luma()[i];
            }
            std::lock_guard lock(mutex);
            means.push_back(sum / size);
        };
        auto stream = std::get<std::shared_ptr<CaptureStream>>(
            capture->createStream(displays[0], CaptureSettings{640, 360, 30, false}, receivers));
        ASSERT_TRUE(stream->start().ok());
        // The first picture may take a while on a busy machine: wait for it, then lift the
        // secret and wait for the next.
        const auto waitForPictures = [&](std::size_t count) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < until) {
                {
                    std::lock_guard lock(mutex);
                    if (means.size() >= count) {
                        return;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        };
        waitForPictures(1);
        registry->remove(secret);
        waitForPictures(2);
        stream->stop();
        environment.shutdown();
        std::lock_guard lock(mutex);
        ASSERT_GE(means.size(), 2u);
        // Black in the video range, then the pattern.
        EXPECT_LT(means.front(), 17.0);
        EXPECT_GT(means.back(), 40.0);
    }
}

// In the test's own process: clearing what the host put on the clipboard (as the connection URL
// is cleared after two minutes) leaves the window nothing to paste, although mutter keeps a
// copy of each new selection to serve once its owner is gone.
TEST_F(MutterSessionTest, ClearingOurCopyLeavesTheWindowNothingToPaste) {
    // The window sees the clipboard once there is a keyboard (see above).
    companion({"-q", "-s", "640", "-T", "1", "--script", script(keyTap(0.3, kShift))});
    ASSERT_TRUE(clientSays("^focus$", 10)) << host->errors() << clientLines;
    SessionVariables variables(session);
    MutterHostEnvironment environment(std::make_shared<NeverCaptureRegistry>());
    auto pasteboard = environment.createPasteboard(nullptr);
    ASSERT_NE(pasteboard, nullptr);
    const auto pastes = [&](const std::string& text) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            // The pasteboard's replies come on this thread's main context.
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            tellClient("paste");
            if (clientSays("^clipboard " + text + "$", 0.5)) {
                return true;
            }
        }
        return false;
    };
    pasteboard->writeText("the secret URL");
    EXPECT_TRUE(pastes("the secret URL")) << clientLines;
    pasteboard->clear();
    EXPECT_TRUE(pastes("")) << clientLines;
    environment.shutdown();
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

}  // namespace
}  // namespace quelm::test
