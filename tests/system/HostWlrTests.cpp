#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/Eventually.hpp"
#include "tests/fakes/HostURL.hpp"
#include "tests/fakes/SwayTestDesktop.hpp"
#include "tests/fakes/TestPattern.hpp"

namespace quelm::test {
namespace {

namespace fs = std::filesystem;

// quelmix-host headless in a fresh headless sway with the test window, driven by
// quelmix-companion as a user would.
class HostWlrTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& program : {ChildProcess::built("QuelmHost", "quelmix-host"),
                                    ChildProcess::built("QuelmCompanion", "quelmix-companion")}) {
            if (access(program.c_str(), X_OK) != 0) {
                GTEST_SKIP() << "not built: " << program;
            }
        }
        std::string why;
        desktop = SwayTestDesktop::start(why);
        if (!desktop) {
            GTEST_SKIP() << why;
        }
        folder = fs::path(desktop->sway().runtimeDir()) / "host";
        fs::create_directories(folder);
        auto environment = desktop->sway().environment();
        environment.push_back("XDG_SESSION_TYPE=wayland");
        environment.push_back("XDG_DATA_HOME=" + folder.string());
        environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
        host = std::make_unique<ChildProcess>(
            std::vector<std::string>{ChildProcess::built("QuelmHost", "quelmix-host"), "--headless",
                                     "--allow-local", "--port", "0"},
            ChildProcess::piped(environment));
        auto line =
            loopbackURL(*host, ChildProcess::built("QuelmHost", "quelmix-host"), environment);
        ASSERT_TRUE(line) << host->errors();
        url = *line;
    }
    void TearDown() override {
        host.reset();
        desktop.reset();
    }

    std::unique_ptr<SwayTestDesktop> desktop;
    fs::path folder;
    std::unique_ptr<ChildProcess> host;
    std::string url;
};

TEST_F(HostWlrTest, TheCompanionSeesTheWindowAndTypesIntoIt) {
    const auto png = (folder / "screen.png").string();
    const auto script =
        companionScript(folder, R"({"at": 1.0, "send": {"text": {"_0": "日本語 café 😀"}}})"
                                "\n");
    ChildProcess companion(companionCommand(url, {"-s", "1920", "-b", "20", "-T", "3", "-q", "-o",
                                                  png, "--script", script}),
                           ChildProcess::piped(desktop->sway().environment()));
    companion.wait(10);
    EXPECT_TRUE(desktop->line("text 日本語 café 😀"));

    GError* error = nullptr;
    GdkPixbuf* picture = gdk_pixbuf_new_from_file(png.c_str(), &error);
    ASSERT_NE(picture, nullptr) << (error ? error->message : "no picture");
    ASSERT_EQ(gdk_pixbuf_get_width(picture), HeadlessSway::width);
    const int stride = gdk_pixbuf_get_rowstride(picture);
    const int channels = gdk_pixbuf_get_n_channels(picture);
    const guchar* pixels = gdk_pixbuf_get_pixels(picture);
    double squares = 0;
    long count = 0;
    for (int y = 0; y < HeadlessSway::height; ++y) {
        for (int x = 0; x < HeadlessSway::width; ++x) {
            if (desktop->entry().contains(x, y)) {
                continue;
            }
            const guchar* p = pixels + y * stride + x * channels;
            const double luma = videoLuma(std::uint32_t(p[0]) << 16 | p[1] << 8 | p[2]);
            const double difference =
                luma - videoLuma(testPatternPixel(x, y, HeadlessSway::width, HeadlessSway::height));
            squares += difference * difference;
            ++count;
        }
    }
    g_object_unref(picture);
    EXPECT_GE(10 * std::log10(255.0 * 255.0 / std::max(squares / count, 1e-9)), 30.0);
}

TEST_F(HostWlrTest, AKilledCompositorStopsCaptureAndOneThatComesBackIsServedAgain) {
    ChildProcess companion(companionCommand(url, {"-v", "-q", "-s", "640", "-T", "5"}),
                           ChildProcess::piped(desktop->sway().environment()));
    ASSERT_TRUE(companion.lineStarting("video seq=", 5));
    desktop->sway().kill();
    EXPECT_TRUE(companion.lineStarting("error: captureStopped", 5));
    companion.wait(6);
    ASSERT_TRUE(host->running());
    {
        ChildProcess meanwhile(companionCommand(url, {"-q", "-T", "1"}),
                               ChildProcess::piped(desktop->sway().environment()));
        EXPECT_TRUE(meanwhile.lineStarting("hello: ", 5));
        EXPECT_TRUE(meanwhile.lineStarting("error: captureFailed", 5));
    }

    std::string why;
    ASSERT_TRUE(desktop->restart(why)) << why;
    ASSERT_TRUE(eventually(
        [&] { return host->errors().find("the Wayland compositor is back") != std::string::npos; },
        std::chrono::seconds(10)))
        << host->errors();
    const auto script = companionScript(folder, R"({"at": 1.0, "send": {"text": {"_0": "back"}}})"
                                                "\n");
    ChildProcess again(
        companionCommand(url, {"-v", "-q", "-s", "640", "-T", "4", "--script", script}),
        ChildProcess::piped(desktop->sway().environment()));
    EXPECT_TRUE(again.lineStarting("video seq=", 8));
    EXPECT_TRUE(desktop->line("text back", 8));
    EXPECT_TRUE(host->running());
}

}  // namespace
}  // namespace quelm::test
