#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/PipedProcess.hpp"

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// The client draws its pattern over the top rows; its entry sits below.
constexpr int kPatternHeight = 900;

bool onPath(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// BT.709 luma in the video range, as the stream signals it.
double luma(double r, double g, double b) {
    return 16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255;
}

// The client's pattern (tests/wayland/PatternClient.cpp) at a pixel of its drawing area.
double patternLuma(int x, int y) {
    static const int bars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                   {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    if (y < kPatternHeight / 2) {
        const auto* bar = bars[x * 8 / kWidth];
        return luma(bar[0], bar[1], bar[2]);
    }
    const double grey = x * 255 / (kWidth - 1);
    return luma(grey, grey, grey);
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

// A fresh headless mutter (with its own bus and PipeWire), the tests' pattern client full-screen
// in it, and quelmix-host headless on it. Skipped where mutter or the programs are missing.
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
        fs::create_directories(folder / "config" / "gtk-3.0");
        // A blinking caret would change the screen twice a second.
        std::ofstream(folder / "config" / "gtk-3.0" / "settings.ini")
            << "[Settings]\ngtk-cursor-blink=false\n";
        commands = (folder / "commands").string();
        ASSERT_EQ(mkfifo(commands.c_str(), 0600), 0);

        compositor = std::make_unique<PipedProcess>(std::vector<std::string>{QUELM_HEADLESS_MUTTER},
                                                    std::vector<std::string>{"PATH=/usr/bin:/bin"});
        for (auto line = compositor->nextLine(20); line && *line != "ready";
             line = compositor->nextLine(20)) {
            if (line->rfind("env ", 0) == 0) {
                session.push_back(line->substr(4));
            } else if (line->rfind("pid mutter ", 0) == 0) {
                mutterPid = std::stoi(line->substr(11));
            }
        }
        ASSERT_GT(mutterPid, 0) << compositor->errors();

        client = std::make_unique<PipedProcess>(
            std::vector<std::string>{QUELM_PATTERN_CLIENT, commands},
            environment(
                {"GDK_BACKEND=wayland", "XDG_CONFIG_HOME=" + (folder / "config").string()}));
        ASSERT_TRUE(client->lineStarting("ready", 10)) << client->errors();

        host = std::make_unique<PipedProcess>(
            std::vector<std::string>{PipedProcess::built("QuelmHost", "quelmix-host"), "--headless",
                                     "--allow-local", "--port", "0"},
            environment());
        auto line = host->lineStarting("quelmix://127.0.0.1:", 15);
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
        args.insert(args.begin(), url);
        args.insert(args.begin(), PipedProcess::built("QuelmCompanion", "quelmix-companion"));
        PipedProcess process(args, environment());
        auto lines = process.allLines(limit);
        process.wait(2);
        return lines;
    }

    std::string script(const std::string& text) {
        auto path = folder / "script.jsonl";
        std::ofstream(path) << text;
        return path.string();
    }

    void tellClient(const std::string& command) { std::ofstream(commands) << command << "\n"; }

    // The client's next line that starts with `prefix` and matches `pattern`.
    bool clientSays(const std::string& pattern, double seconds = 5) {
        const std::regex wanted(pattern);
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            auto line = client->nextLine(0.2);
            if (line && std::regex_search(*line, wanted)) {
                return true;
            }
        }
        return false;
    }

    fs::path folder;
    std::string commands;
    std::vector<std::string> session;
    int mutterPid = 0;
    std::unique_ptr<PipedProcess> compositor;
    std::unique_ptr<PipedProcess> client;
    std::unique_ptr<PipedProcess> host;
    std::string url;
};

TEST_F(MutterSessionTest, TheDecodedPictureIsTheClientsPattern) {
    // The pointer goes down to the entry, out of the compared rows.
    const auto png = (folder / "screen.png").string();
    companion({"-s", "1920", "-b", "20", "-T", "6", "-q", "-o", png, "--script",
               script(moveTo(0.3, 0.98, 0.97))});
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
    for (int y = 0; y < kPatternHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const guchar* p = pixels + y * stride + x * channels;
            const double difference = luma(p[0], p[1], p[2]) - patternLuma(x, y);
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

}  // namespace
}  // namespace quelm::test
