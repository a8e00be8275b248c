#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/Eventually.hpp"
#include "tests/fakes/PrivateXvfb.hpp"

// Xlib last: its macros (None, Bool, Status) clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quelm {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::eventually;
// Grabbing the panel strip is slow: poll it a few times a second.
constexpr std::chrono::milliseconds kPoll{200};

constexpr int kWidth = 480;
constexpr int kHeight = 120;
constexpr int kPanelSize = 32;
constexpr const char* kIconFolder = "share/icons/hicolor/scalable/status";

// An RGB picture, 0xRRGGBB per pixel.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y * width + x)]; }
};

double channel(std::uint32_t value) {
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(std::uint32_t rgb) {
    return 0.2126 * channel(rgb >> 16 & 0xFF) + 0.7152 * channel(rgb >> 8 & 0xFF) +
           0.0722 * channel(rgb & 0xFF);
}

// The WCAG contrast ratio of two colours, 1 to 21.
double contrast(std::uint32_t a, std::uint32_t b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The top `height` rows of the screen, as another X client sees them.
std::optional<Picture> grab(const std::string& display, int height) {
    Display* connection = XOpenDisplay(display.c_str());
    if (!connection) {
        return std::nullopt;
    }
    const int width = DisplayWidth(connection, DefaultScreen(connection));
    XImage* image = XGetImage(connection, DefaultRootWindow(connection), 0, 0, unsigned(width),
                              unsigned(height), AllPlanes, ZPixmap);
    std::optional<Picture> picture;
    if (image) {
        picture = Picture{width, height, {}};
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                picture->pixels.push_back(std::uint32_t(XGetPixel(image, x, y)) & 0xFFFFFF);
            }
        }
        XDestroyImage(image);
    }
    XCloseDisplay(connection);
    return picture;
}

void save(const Picture& picture, const fs::path& file) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, picture.width, picture.height);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            guchar* p = pixels + y * stride + x * 3;
            const auto rgb = picture.at(x, y);
            p[0] = guchar(rgb >> 16);
            p[1] = guchar(rgb >> 8);
            p[2] = guchar(rgb);
        }
    }
    gdk_pixbuf_save(pixbuf, file.c_str(), "png", nullptr, nullptr);
    g_object_unref(pixbuf);
}

// What the icon adds to the panel: the pixels that differ from the panel without it, and the
// best contrast among them against the panel's own pixel there.
struct IconMeasure {
    int changed = 0;
    int readable = 0;  // pixels at 3:1 or more
    double contrast = 1;
    std::uint32_t colour = 0;
};

IconMeasure measure(const Picture& before, const Picture& after) {
    IconMeasure result;
    for (int y = 0; y < after.height; ++y) {
        for (int x = 0; x < after.width; ++x) {
            if (after.at(x, y) == before.at(x, y)) {
                continue;
            }
            ++result.changed;
            const double ratio = contrast(after.at(x, y), before.at(x, y));
            result.readable += ratio >= 3;
            if (ratio > result.contrast) {
                result.contrast = ratio;
                result.colour = after.at(x, y);
            }
        }
    }
    return result;
}

// One top panel holding the notification area, light or dark.
std::string panelConfig(bool dark) {
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value=")") +
           (dark ? "true" : "false") + R"("/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value=")" +
           std::to_string(kPanelSize) + R"("/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";
}

// The host in tray mode under xfce4-panel's notification area (a StatusNotifier host) on a
// private X server and session bus, the panel light or dark.
class TrayIconTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        for (const char* program : {"xfce4-panel", "dbus-daemon"}) {
            if (ChildProcess::find(program).empty()) {
                GTEST_SKIP() << program << " is not installed";
            }
        }
        host_ = ChildProcess::built("QuelmHost", "quelmix-host");
        if (access(host_.c_str(), X_OK) != 0) {
            GTEST_SKIP() << "not built: " << host_;
        }
        std::string why;
        xvfb_ = test::PrivateXvfb::start(why, kWidth, kHeight);
        if (!xvfb_) {
            GTEST_SKIP() << "no X server for the test: " << why;
        }
        folder_ = fs::temp_directory_path() /
                  ("quelmix-tray-test-" + std::to_string(getpid()) + (GetParam() ? "-dark" : ""));
        const auto channels = folder_ / "config/xfce4/xfconf/xfce-perchannel-xml";
        fs::create_directories(channels);
        fs::create_directories(folder_ / "run");
        chmod((folder_ / "run").c_str(), 0700);
        std::ofstream(channels / "xfce4-panel.xml") << panelConfig(GetParam());

        environment_ = {"DISPLAY=" + xvfb_->name(),
                        "HOME=" + folder_.string(),
                        "XDG_CONFIG_HOME=" + (folder_ / "config").string(),
                        "XDG_CACHE_HOME=" + (folder_ / "cache").string(),
                        "XDG_DATA_HOME=" + (folder_ / "data").string(),
                        "XDG_RUNTIME_DIR=" + (folder_ / "run").string(),
                        "PATH=/usr/bin:/bin",
                        "NO_AT_BRIDGE=1"};
        // Its own session bus: the panel's settings daemon and the StatusNotifier watcher.
        ChildProcess::Options busOptions{environment_};
        busOptions.pipeStdout = true;
        bus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"},
            busOptions);
        auto address = bus_->nextLine(10);
        ASSERT_TRUE(address) << "no session bus";
        environment_.push_back("DBUS_SESSION_BUS_ADDRESS=" + *address);
        startSettingsDaemon();

        ChildProcess::Options panelOptions{environment_};
        panelOptions.stderrFile = (folder_ / "panel.log").string();
        panel_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"xfce4-panel", "--disable-wm-check"}, panelOptions);
        // The panel is drawn once its strip is no longer the bare (black) root window.
        ASSERT_TRUE(eventually(
            [&] {
                bare_ = grab(xvfb_->name(), kPanelSize);
                return bare_ && bare_->at(kWidth / 2, kPanelSize / 2) != 0;
            },
            std::chrono::seconds(30), kPoll))
            << "the panel did not show: " << ChildProcess::tail(panelOptions.stderrFile);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        bare_ = grab(xvfb_->name(), kPanelSize);
    }

    void TearDown() override {
        hostProcess_.reset();
        panel_.reset();
        settings_.reset();
        bus_.reset();
        xvfb_.reset();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // The panel strip once the host's icon is in it (settled for a second), or nothing.
    std::optional<Picture> withHost() {
        ChildProcess::Options options{environment_};
        options.stderrFile = (folder_ / "host.log").string();
        hostProcess_ = std::make_unique<ChildProcess>(std::vector<std::string>{host_}, options);
        std::optional<Picture> shown;
        const bool appeared = eventually(
            [&] {
                shown = grab(xvfb_->name(), kPanelSize);
                return shown && measure(*bare_, *shown).changed >= 20;
            },
            std::chrono::seconds(30), kPoll);
        if (!appeared) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return grab(xvfb_->name(), kPanelSize);
    }

    // The panel's settings daemon as a child of the test, so that it ends by its pid instead of
    // being left to the bus that would otherwise start it.
    void startSettingsDaemon() {
        std::ifstream service("/usr/share/dbus-1/services/org.xfce.Xfconf.service");
        std::string line;
        while (std::getline(service, line) && !line.starts_with("Exec=")) {
        }
        if (!line.starts_with("Exec=")) {
            return;
        }
        settings_ = std::make_unique<ChildProcess>(std::vector<std::string>{line.substr(5)},
                                                   ChildProcess::Options{environment_});
        eventually(
            [&] {
                ChildProcess ask({"dbus-send", "--session", "--dest=org.freedesktop.DBus",
                                  "--type=method_call", "--print-reply", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus.GetNameOwner", "string:org.xfce.Xfconf"},
                                 ChildProcess::Options{environment_});
                return ask.wait(5) == 0;
            },
            std::chrono::seconds(10), kPoll);
    }

    std::string hostLog() const { return ChildProcess::tail((folder_ / "host.log").string()); }

    std::string host_;
    std::unique_ptr<test::PrivateXvfb> xvfb_;
    fs::path folder_;
    std::vector<std::string> environment_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> settings_;
    std::unique_ptr<ChildProcess> panel_;
    std::unique_ptr<ChildProcess> hostProcess_;
    std::optional<Picture> bare_;
};

TEST_P(TrayIconTest, TheIconStandsOutFromThePanel) {
    const auto shown = withHost();
    ASSERT_TRUE(shown) << "no icon appeared in the panel: " << hostLog();
    const auto icon = measure(*bare_, *shown);
    const char* mode = GetParam() ? "dark" : "light";
    std::cout << mode << " panel " << std::hex << bare_->at(kWidth / 2, kPanelSize / 2) << ", icon "
              << icon.colour << std::dec << ": contrast " << icon.contrast << ":1, "
              << icon.readable << " of " << icon.changed << " pixels at 3:1 or more\n";
    // QUELM_SCREENSHOTS names a folder to keep the panel pictures in.
    if (const char* keep = std::getenv("QUELM_SCREENSHOTS")) {
        save(*shown, fs::path(keep) / (std::string("tray-") + mode + ".png"));
    }
    EXPECT_GE(icon.contrast, 3.0);
    // The icon's body, not a stray antialiased pixel, reaches it.
    EXPECT_GE(icon.readable, 20);
}

INSTANTIATE_TEST_SUITE_P(Panels, TrayIconTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Dark" : "Light"; });

// Both states drawn by GTK's symbolic loader, the way a panel recolours them: every pixel takes
// the panel's foreground colour, and the connected icon covers the screen the waiting one leaves
// open.
TEST(TrayIcons, TakeThePanelsColourAndTellTheStatesApart) {
    GtkIconTheme* theme = gtk_icon_theme_new();
    const auto folder = ChildProcess::built(kIconFolder, "");
    gtk_icon_theme_append_search_path(theme, folder.c_str());
    std::vector<std::vector<double>> coverage;
    for (const char* name : {"quelmix-waiting-symbolic", "quelmix-connected-symbolic"}) {
        GtkIconInfo* info = gtk_icon_theme_lookup_icon(theme, name, 22, GtkIconLookupFlags(0));
        ASSERT_NE(info, nullptr) << name << " not found in " << folder;
        for (std::uint32_t foreground : {0xFFFFFFu, 0x2E3436u}) {
            const GdkRGBA colour{(foreground >> 16 & 0xFF) / 255.0,
                                 (foreground >> 8 & 0xFF) / 255.0, (foreground & 0xFF) / 255.0, 1};
            GError* error = nullptr;
            GdkPixbuf* pixbuf = gtk_icon_info_load_symbolic(info, &colour, nullptr, nullptr,
                                                            nullptr, nullptr, &error);
            ASSERT_NE(pixbuf, nullptr) << name << ": " << (error ? error->message : "");
            ASSERT_TRUE(gdk_pixbuf_get_has_alpha(pixbuf));
            const int width = gdk_pixbuf_get_width(pixbuf);
            const int height = gdk_pixbuf_get_height(pixbuf);
            const int stride = gdk_pixbuf_get_rowstride(pixbuf);
            const guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
            std::vector<double> alpha;
            int foreign = 0;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const guchar* p = pixels + y * stride + x * 4;
                    alpha.push_back(p[3] / 255.0);
                    const std::uint32_t rgb = std::uint32_t(p[0]) << 16 | p[1] << 8 | p[2];
                    foreign += p[3] == 255 && rgb != foreground;
                }
            }
            g_object_unref(pixbuf);
            EXPECT_EQ(foreign, 0) << name << " keeps colours of its own";
            if (foreground == 0xFFFFFFu) {
                coverage.push_back(std::move(alpha));
            }
        }
        g_object_unref(info);
    }
    g_object_unref(theme);
    ASSERT_EQ(coverage.size(), 2u);
    ASSERT_EQ(coverage[0].size(), coverage[1].size());
    double waiting = 0;
    double connected = 0;
    double differing = 0;
    for (std::size_t i = 0; i < coverage[0].size(); ++i) {
        waiting += coverage[0][i];
        connected += coverage[1][i];
        differing += std::abs(coverage[0][i] - coverage[1][i]);
    }
    // A fifth of what the waiting icon covers changes between the states.
    EXPECT_GT(differing, 0.2 * waiting)
        << "covered " << waiting << " and " << connected << ", differing " << differing;
}

}  // namespace
}  // namespace quelm
