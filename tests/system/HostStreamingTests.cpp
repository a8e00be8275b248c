#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool) would clash with its names.
#include <X11/Xlib.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/HostURL.hpp"
#include "tests/fakes/PrivateXvfb.hpp"

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

// One "video seq=... key=... size=WxH ... t=..." line of quelmix-companion -v.
struct VideoLine {
    bool key = false;
    int width = 0;
    int height = 0;
    double t = 0;
};

std::vector<VideoLine> videoLines(const std::vector<std::string>& lines) {
    static const std::regex pattern(R"(^video seq=\d+ key=(\d) size=(\d+)x(\d+) .* t=([0-9.]+))");
    std::vector<VideoLine> out;
    for (const auto& line : lines) {
        std::smatch match;
        if (std::regex_search(line, match, pattern)) {
            out.push_back(
                {match[1] == "1", std::stoi(match[2]), std::stoi(match[3]), std::stod(match[4])});
        }
    }
    return out;
}

// The pattern painted on the screen: colour bars over the top half, a grey ramp below.
unsigned long patternPixel(int x, int y) {
    static const unsigned long bars[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                         0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
    if (y < kHeight / 2) {
        return bars[x * 8 / kWidth];
    }
    const unsigned long grey = static_cast<unsigned long>(x * 255 / (kWidth - 1));
    return grey << 16 | grey << 8 | grey;
}

// A private Xvfb with a full-screen window to paint on, quelmix-host headless on it, and
// quelmix-companion runs against the host. Skipped when Xvfb or the programs are missing.
class HostStreamingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        xvfb = PrivateXvfb::start(why, kWidth, kHeight);
        if (!xvfb) {
            GTEST_SKIP() << "no X server for the test: " << why;
        }
        for (const auto& program : {ChildProcess::built("QuelmHost", "quelmix-host"),
                                    ChildProcess::built("QuelmCompanion", "quelmix-companion")}) {
            if (access(program.c_str(), X_OK) != 0) {
                GTEST_SKIP() << "not built: " << program;
            }
        }
        folder = fs::temp_directory_path() /
                 ("quelmix-streaming-test-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder);

        painter = XOpenDisplay(xvfb->name().c_str());
        ASSERT_NE(painter, nullptr);
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = 0x808080;
        window = XCreateWindow(painter, DefaultRootWindow(painter), 0, 0, kWidth, kHeight, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(painter, window);
        gc = XCreateGC(painter, window, 0, nullptr);
        movePointer(kWidth - 1, kHeight - 1);

        host = std::make_unique<ChildProcess>(
            std::vector<std::string>{ChildProcess::built("QuelmHost", "quelmix-host"), "--headless",
                                     "--allow-local", "--port", "0"},
            piped());
        ASSERT_TRUE(host->running());
        auto line =
            loopbackURL(*host, ChildProcess::built("QuelmHost", "quelmix-host"), environment());
        ASSERT_TRUE(line) << host->errors();
        url = *line;
    }

    void TearDown() override {
        stopPainting();
        host.reset();
        if (painter) {
            XFreeGC(painter, gc);
            XCloseDisplay(painter);
        }
        xvfb.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    std::vector<std::string> environment() const {
        return {"DISPLAY=" + xvfb->name(), "XDG_DATA_HOME=" + folder.string(),
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

    // Runs quelmix-companion against the host until it ends; its stdout lines.
    std::vector<std::string> companion(std::vector<std::string> args, double limit = 20) {
        ChildProcess process(companionCommand(url, std::move(args)), piped());
        auto lines = process.allLines(limit);
        process.wait(2);
        return lines;
    }

    std::string script(const std::string& text) const { return companionScript(folder, text); }

    void movePointer(int x, int y) {
        XWarpPointer(painter, 0, DefaultRootWindow(painter), 0, 0, 0, 0, x, y);
        XSync(painter, False);
    }

    void paintPattern() {
        for (int y : {0, kHeight / 2}) {
            for (int x = 0; x < kWidth; ++x) {
                if (y == 0 && x % (kWidth / 8) != 0) {
                    continue;
                }
                XSetForeground(painter, gc, patternPixel(x, y));
                const int width = y == 0 ? kWidth / 8 : 1;
                XFillRectangle(painter, window, gc, x, y, static_cast<unsigned>(width),
                               kHeight / 2);
            }
        }
        XSync(painter, False);
    }

    // Changes a corner of the screen every 30 ms on a connection of its own.
    void startPainting() {
        painting = true;
        painterThread = std::thread([this, name = xvfb->name()] {
            Display* display = XOpenDisplay(name.c_str());
            if (!display) {
                return;
            }
            GC ownGc = XCreateGC(display, window, 0, nullptr);
            for (unsigned long i = 0; painting; ++i) {
                XSetForeground(display, ownGc, (i * 0x101010) & 0xFFFFFF);
                XFillRectangle(display, window, ownGc, 0, 0, 200, 200);
                XSync(display, False);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
            XFreeGC(display, ownGc);
            XCloseDisplay(display);
        });
    }

    void stopPainting() {
        painting = false;
        if (painterThread.joinable()) {
            painterThread.join();
        }
    }

    std::unique_ptr<PrivateXvfb> xvfb;
    fs::path folder;
    Display* painter = nullptr;
    Window window = 0;
    GC gc = nullptr;
    std::unique_ptr<ChildProcess> host;
    std::string url;
    std::atomic<bool> painting{false};
    std::thread painterThread;
};

TEST_F(HostStreamingTest, TheDecodedPictureIsTheScreenWithThePointerDrawnIn) {
    paintPattern();
    const int pointerX = 3 * kWidth / 16;
    const int pointerY = 3 * kHeight / 4;
    movePointer(pointerX, pointerY);
    const auto png = (folder / "screen.png").string();
    auto lines = companion({"-s", "1280", "-b", "20", "-n", "4", "-T", "5", "-q", "-o", png});

    GError* error = nullptr;
    GdkPixbuf* picture = gdk_pixbuf_new_from_file(png.c_str(), &error);
    ASSERT_NE(picture, nullptr) << (error ? error->message : "no picture");
    ASSERT_EQ(gdk_pixbuf_get_width(picture), kWidth);
    ASSERT_EQ(gdk_pixbuf_get_height(picture), kHeight);
    const int stride = gdk_pixbuf_get_rowstride(picture);
    const int channels = gdk_pixbuf_get_n_channels(picture);
    const guchar* pixels = gdk_pixbuf_get_pixels(picture);

    // PSNR away from the pointer; near it, dark cursor pixels on the mid-grey ramp.
    double squares = 0;
    long count = 0;
    int darkNearPointer = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const guchar* p = pixels + y * stride + x * channels;
            const bool nearPointer = std::abs(x - pointerX) < 24 && std::abs(y - pointerY) < 24;
            if (nearPointer) {
                darkNearPointer += p[0] < 20 && p[1] < 20 && p[2] < 20;
                continue;
            }
            const unsigned long expected = patternPixel(x, y);
            for (int c = 0; c < 3; ++c) {
                const double difference = double(p[c]) - double((expected >> (16 - 8 * c)) & 0xFF);
                squares += difference * difference;
            }
            count += 3;
        }
    }
    g_object_unref(picture);
    const double psnr = 10 * std::log10(255.0 * 255.0 / std::max(squares / count, 1e-9));
    EXPECT_GT(psnr, 30.0);
    EXPECT_GT(darkNearPointer, 10) << "no cursor drawn at the pointer";
}

TEST_F(HostStreamingTest, ThePointerIsReportedAsFractionsOfTheStreamedDisplay) {
    movePointer(kWidth / 4, kHeight * 3 / 4);
    auto lines = companion({"-s", "640", "-T", "1.5", "--stats-interval", "0.5"});
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(" cursor=0.250,0.750 ") != std::string::npos;
    })) << "no pointer report";
}

TEST_F(HostStreamingTest, AStillScreenGivesOnePictureAndThreeRefinementsThenNothing) {
    paintPattern();
    auto lines = companion({"-s", "960", "-v", "-q", "-T", "2.5"});
    auto frames = videoLines(lines);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_TRUE(frames[0].key);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_FALSE(frames[i].key);
    }
}

TEST_F(HostStreamingTest, TheSizeFollowsMaxEdgeAndALiveConfigChange) {
    auto lines = companion(
        {"-s", "640", "-v", "-q", "-T", "2.5", "--script",
         script(
             R"({"at": 1.2, "send": {"config": {"_0": {"maxEdge": 960, "bitrateMbps": 4, "fps": 30}}}})"
             "\n")});
    auto frames = videoLines(lines);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().width, 640);
    EXPECT_EQ(frames.front().height, 360);
    EXPECT_EQ(frames.back().width, 960);
    EXPECT_EQ(frames.back().height, 540);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame.width == 960, frame.t > 1.2) << frame.t;
    }
}

TEST_F(HostStreamingTest, RefreshYieldsAKeyFrame) {
    auto lines = companion({"-s", "640", "-v", "-q", "-T", "2.5", "--script",
                            script("{\"at\": 1.5, \"send\": {\"refresh\": {}}}\n")});
    auto frames = videoLines(lines);
    ASSERT_GE(frames.size(), 5u);
    int lateKeys = 0;
    for (const auto& frame : frames) {
        lateKeys += frame.key && frame.t >= 1.5;
    }
    EXPECT_EQ(lateKeys, 1);
}

TEST_F(HostStreamingTest, ACompanionThatStopsAcknowledgingGetsTwoFramesThenAKeyFrame) {
    startPainting();
    auto lines = companion({"-s", "640", "-v", "-q", "--no-ack", "-T", "4.5"});
    stopPainting();
    auto frames = videoLines(lines);
    ASSERT_GE(frames.size(), 3u);
    int early = 0;
    for (const auto& frame : frames) {
        early += frame.t < 2.9;
    }
    EXPECT_EQ(early, 2);
    EXPECT_TRUE(frames[2].key);
    EXPECT_GE(frames[2].t, 2.9);
}

TEST_F(HostStreamingTest, LosingTheXServerStopsTheStreamAndStreamsAgainOnceItIsBack) {
    const auto args = std::vector<std::string>{
        ChildProcess::built("QuelmCompanion", "quelmix-companion"), url, "-v", "-q", "-T", "4"};
    ChildProcess first(args, piped());
    ASSERT_TRUE(first.lineStarting("video seq=", 5));
    XCloseDisplay(painter);
    painter = nullptr;
    xvfb->kill();
    EXPECT_TRUE(first.lineStarting("error: captureStopped", 5));
    first.wait(6);

    // Without a server: the companion is let in and hears of the last display known.
    EXPECT_TRUE(host->running());
    {
        ChildProcess second(args, piped());
        EXPECT_TRUE(second.lineStarting("hello: ", 5));
    }
    EXPECT_TRUE(host->running());

    // The server back on the same display: the next start streams.
    std::string why;
    ASSERT_TRUE(xvfb->restart(why)) << why;
    const auto back = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host->errors().find("the X server is back") == std::string::npos &&
           std::chrono::steady_clock::now() < back) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(host->errors().find("the X server is back"), std::string::npos) << host->errors();
    // Input and pointer reports follow the new server too.
    painter = XOpenDisplay(xvfb->name().c_str());
    ASSERT_NE(painter, nullptr);
    gc = XCreateGC(painter, DefaultRootWindow(painter), 0, nullptr);
    movePointer(100, 100);
    ChildProcess third({args[0], url, "-v", "-q", "-T", "3", "--script",
                        script(R"({"at": 1.0, "send": {"move": {"dx": 200, "dy": 100}}})"
                               "\n")},
                       piped());
    EXPECT_TRUE(third.lineStarting("video seq=", 5)) << host->errors();
    EXPECT_TRUE(third.lineStarting(R"(message: {"cursor")", 5)) << "no pointer report";
    third.wait(5);
    Window root = 0;
    Window child = 0;
    int x = 0;
    int y = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    XQueryPointer(painter, DefaultRootWindow(painter), &root, &child, &x, &y, &windowX, &windowY,
                  &mask);
    EXPECT_GT(x, 100) << "the companion's move did not reach the new server";
    EXPECT_GT(y, 100);
    EXPECT_TRUE(host->running());
}

}  // namespace
}  // namespace quelm::test
