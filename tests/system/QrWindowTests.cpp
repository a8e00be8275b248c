#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "QuelmHost/QrCode.hpp"
#include "QuelmHost/QrWindow.hpp"
#include "QuelmHost/StatusMenu.hpp"
#include "QuelmHostKit/linux/x11/X11DisplayServices.hpp"
#include "QuelmHostKit/linux/x11/X11EventPump.hpp"
#include "QuelmHostKit/linux/x11/XShmCaptureStream.hpp"
#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/PrivateXvfb.hpp"

// Xlib last: its macros (None, Bool, Status, ClientMessage) clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quelm {
namespace {

namespace fs = std::filesystem;

const std::string kURL = "quelmix://100.101.102.103:5290/#t=Abcdefghijklmnopqrstuvwxyz012345";

void pumpFor(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The screen inside `rect`, as another X client sees it, saved as a PNG.
bool screenshot(const DisplayRect& rect, const fs::path& file) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        return false;
    }
    int screenWidth = DisplayWidth(display, DefaultScreen(display));
    int screenHeight = DisplayHeight(display, DefaultScreen(display));
    int x = std::max(0, int(rect.x));
    int y = std::max(0, int(rect.y));
    int width = std::min(screenWidth, int(rect.x + rect.width)) - x;
    int height = std::min(screenHeight, int(rect.y + rect.height)) - y;
    XImage* image =
        XGetImage(display, DefaultRootWindow(display), x, y, width, height, AllPlanes, ZPixmap);
    bool saved = false;
    if (image) {
        GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
        guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
        int stride = gdk_pixbuf_get_rowstride(pixbuf);
        for (int row = 0; row < height; ++row) {
            for (int column = 0; column < width; ++column) {
                unsigned long value = XGetPixel(image, column, row);
                guchar* out = pixels + row * stride + column * 3;
                out[0] = (value >> 16) & 0xff;
                out[1] = (value >> 8) & 0xff;
                out[2] = value & 0xff;
            }
        }
        saved = gdk_pixbuf_save(pixbuf, file.c_str(), "png", nullptr, nullptr);
        g_object_unref(pixbuf);
        XDestroyImage(image);
    }
    XCloseDisplay(display);
    return saved;
}

class QrWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = test::PrivateXvfb::start(why_, 1024, 768);
        if (xvfb_) {
            setenv("DISPLAY", xvfb_->name().c_str(), 1);
            gtkReady_ = gtk_init_check(nullptr, nullptr);
        }
    }
    static void TearDownTestSuite() { xvfb_.reset(); }
    void SetUp() override {
        if (!xvfb_ || !gtkReady_) {
            GTEST_SKIP() << "no private X server with GTK: " << why_;
        }
    }

    static std::unique_ptr<test::PrivateXvfb> xvfb_;
    static std::string why_;
    static bool gtkReady_;
    std::shared_ptr<NeverCaptureRegistry> registry = std::make_shared<NeverCaptureRegistry>();
};

std::unique_ptr<test::PrivateXvfb> QrWindowTest::xvfb_;
std::string QrWindowTest::why_;
bool QrWindowTest::gtkReady_ = false;

TEST_F(QrWindowTest, TheShownCodeScansToTheURLAndItsRectangleIsNeverCaptured) {
    if (!fs::exists("/usr/bin/zbarimg")) {
        GTEST_SKIP() << "zbarimg (zbar-tools) is not installed";
    }
    QrWindow window(registry);
    ASSERT_TRUE(window.show(kURL, StatusMenu::qrWindowTitle()));
    EXPECT_EQ(registry->rectangles().size(), 1u);  // before the first frame is drawn
    pumpFor(0.8);

    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window.window())),
                 "iPhoneのカメラで読み取ってください");
    GtkWidget* content = gtk_bin_get_child(GTK_BIN(window.window()));
    EXPECT_EQ(gtk_widget_get_allocated_width(content), QrWindow::contentSize);
    EXPECT_EQ(gtk_widget_get_allocated_height(content), QrWindow::contentSize);

    auto rects = registry->rectangles();
    ASSERT_EQ(rects.size(), 1u);
    int x = 0;
    int y = 0;
    gdk_window_get_origin(gtk_widget_get_window(content), &x, &y);
    // The registered rectangle covers the whole code.
    EXPECT_LE(rects[0].x, x);
    EXPECT_LE(rects[0].y, y);
    EXPECT_GE(rects[0].x + rects[0].width, x + QrWindow::contentSize);
    EXPECT_GE(rects[0].y + rects[0].height, y + QrWindow::contentSize);

    auto file = fs::temp_directory_path() / ("quelm-qr-" + std::to_string(getpid()) + ".png");
    ASSERT_TRUE(screenshot(rects[0], file));
    test::ChildProcess::Options piped;
    piped.pipeStdout = true;
    test::ChildProcess scan({"zbarimg", "--raw", "-q", file.string()}, piped);
    EXPECT_EQ(scan.wait(20), 0);
    std::string decoded = scan.output();
    while (!decoded.empty() && (decoded.back() == '\n' || decoded.back() == '\r')) {
        decoded.pop_back();
    }
    EXPECT_EQ(decoded, kURL);
    fs::remove(file);

    // Four modules of white all round the code, inside the content.
    DisplayRect inside{double(x), double(y), double(QrWindow::contentSize),
                       double(QrWindow::contentSize)};
    ASSERT_TRUE(screenshot(inside, file));
    GdkPixbuf* shot = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
    fs::remove(file);
    ASSERT_TRUE(shot);
    int left = QrWindow::contentSize, top = QrWindow::contentSize, right = -1, bottom = -1;
    const guchar* pixels = gdk_pixbuf_get_pixels(shot);
    for (int row = 0; row < gdk_pixbuf_get_height(shot); ++row) {
        for (int column = 0; column < gdk_pixbuf_get_width(shot); ++column) {
            if (pixels[row * gdk_pixbuf_get_rowstride(shot) + column * 3] < 128) {
                left = std::min(left, column);
                right = std::max(right, column);
                top = std::min(top, row);
                bottom = std::max(bottom, row);
            }
        }
    }
    g_object_unref(shot);
    auto code = QrCode::encode(kURL);
    ASSERT_TRUE(code);
    const int module = (right - left + 1) / code->size();
    ASSERT_GE(module, 2);
    EXPECT_EQ(right - left + 1, module * code->size());
    for (int margin :
         {left, top, QrWindow::contentSize - 1 - right, QrWindow::contentSize - 1 - bottom}) {
        EXPECT_GE(margin, 4 * module);
    }

    window.close();
    pumpFor(0.1);
    EXPECT_FALSE(window.isShown());
    EXPECT_TRUE(registry->rectangles().empty());
}

TEST_F(QrWindowTest, ShowingAgainReplacesTheWindowAndClosingByTheUserUnregisters) {
    QrWindow window(registry);
    ASSERT_TRUE(window.show(kURL, "a"));
    GtkWidget* first = window.window();
    ASSERT_TRUE(window.show(kURL, "b"));
    EXPECT_NE(window.window(), first);
    pumpFor(0.3);
    EXPECT_EQ(registry->rectangles().size(), 1u);

    // The close button: the window manager asks, GTK destroys.
    gtk_window_close(GTK_WINDOW(window.window()));
    pumpFor(0.3);
    EXPECT_FALSE(window.isShown());
    EXPECT_TRUE(registry->rectangles().empty());
}

TEST_F(QrWindowTest, ACaptureRunningWhileTheWindowIsShownSeesItsRectangleBlack) {
    auto pump = X11EventPump::start(xvfb_->name());
    ASSERT_TRUE(pump);
    auto displays = X11DisplayServices::create(pump);
    ASSERT_TRUE(displays);
    auto active = displays->activeDisplays();
    ASSERT_FALSE(active.empty());

    std::mutex mutex;
    std::condition_variable arrived;
    PixelBufferRef last;
    int pictures = 0;
    XShmCaptureStream::Options options;
    options.displayName = xvfb_->name();
    options.displayId = active.front().id;
    options.displays = displays;
    options.neverCapture = registry;
    CaptureStream::Receivers receivers;
    receivers.onPicture = [&](PixelBufferRef picture) {
        std::lock_guard lock(mutex);
        last = std::move(picture);
        ++pictures;
        arrived.notify_all();
    };
    auto stream = std::make_shared<XShmCaptureStream>(
        options, CaptureSettings{1024, 768, 30, false}, receivers);
    ASSERT_TRUE(stream->start().ok());

    QrWindow window(registry);
    ASSERT_TRUE(window.show(kURL, StatusMenu::qrWindowTitle()));
    pumpFor(0.8);  // mapped, drawn, and captured at least once since
    GtkWidget* content = gtk_bin_get_child(GTK_BIN(window.window()));
    int x = 0;
    int y = 0;
    gdk_window_get_origin(gtk_widget_get_window(content), &x, &y);
    int seenBefore = 0;
    {
        std::lock_guard lock(mutex);
        seenBefore = pictures;
    }
    // A change elsewhere on the screen makes a fresh picture with the window in place.
    gtk_window_move(GTK_WINDOW(window.window()), x + 8, y);
    pumpFor(0.5);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            arrived.wait_for(lock, std::chrono::seconds(3), [&] { return pictures > seenBefore; }));
    }
    gdk_window_get_origin(gtk_widget_get_window(content), &x, &y);
    pumpFor(0.3);
    PixelBufferRef picture;
    {
        std::lock_guard lock(mutex);
        picture = last;
    }
    stream->stop();
    displays.reset();
    pump->stop();
    ASSERT_TRUE(picture);
    // The code has white modules all over; in the picture every sample of it is black
    // (luma 16 in video range).
    int brightest = 0;
    for (int row = 0; row < QrWindow::contentSize; row += 7) {
        for (int column = 0; column < QrWindow::contentSize; column += 7) {
            int px = x + column;
            int py = y + row;
            brightest = std::max<int>(brightest, picture->luma()[py * picture->lumaStride() + px]);
        }
    }
    EXPECT_LE(brightest, 17);
}

TEST(QrCode, TerminalTextHasTwoModuleRowsPerLine) {
    auto code = QrCode::encode(kURL);
    ASSERT_TRUE(code);
    EXPECT_EQ(code->size() % 4, 1);  // 21, 25, 29 ... modules
    auto text = code->terminalText(2);
    auto lines = std::count(text.begin(), text.end(), '\n');
    EXPECT_EQ(lines, (code->size() + 4 + 1) / 2);
}

}  // namespace
}  // namespace quelm
