#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "QuelmHostKit/clipboard/ClipboardBridge.hpp"
#include "QuelmHostKit/linux/gtk/GLibMainQueue.hpp"
#include "QuelmHostKit/linux/gtk/GdkPixbufImageCodec.hpp"
#include "QuelmHostKit/linux/gtk/GtkPasteboard.hpp"
#include "QuelmHostKit/queues/ThreadQueue.hpp"
#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/PrivateXvfb.hpp"

// Xlib last: its macros (None, Bool, Status, ClientMessage) clash with names above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace quelm {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;

void pump() {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

bool pumpUntil(const std::function<bool()>& done, double seconds = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void pumpFor(double seconds) {
    pumpUntil([] { return false; }, seconds);
}

Bytes pngOf(int width, int height, guint32 rgba) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
    gdk_pixbuf_fill(pixbuf, rgba);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
    Bytes out(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return out;
}

// A foreign clipboard owner offering text together with a password manager's hint, as
// KeePassXC does; xclip offers one target only.
class PasswordManagerCopy {
  public:
    explicit PasswordManagerCopy(std::string text) : text_(std::move(text)) {
        display_ = XOpenDisplay(nullptr);
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
        clipboard_ = XInternAtom(display_, "CLIPBOARD", False);
        XSetSelectionOwner(display_, clipboard_, window_, CurrentTime);
        XSync(display_, False);
        thread_ = std::thread([this] { serve(); });
    }
    ~PasswordManagerCopy() {
        stop_ = true;
        thread_.join();
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }

  private:
    void serve() {
        Atom targets = XInternAtom(display_, "TARGETS", False);
        Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
        Atom hint = XInternAtom(display_, "x-kde-passwordManagerHint", False);
        while (!stop_) {
            if (!XPending(display_)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type != SelectionRequest) {
                continue;
            }
            auto& request = event.xselectionrequest;
            XSelectionEvent reply{};
            reply.type = SelectionNotify;
            reply.requestor = request.requestor;
            reply.selection = request.selection;
            reply.target = request.target;
            reply.time = request.time;
            reply.property = request.property;
            if (request.target == targets) {
                Atom list[] = {targets, utf8, hint};
                XChangeProperty(display_, request.requestor, request.property, XA_ATOM, 32,
                                PropModeReplace, reinterpret_cast<unsigned char*>(list), 3);
            } else if (request.target == utf8 || request.target == hint) {
                std::string value = request.target == utf8 ? text_ : "secret";
                XChangeProperty(display_, request.requestor, request.property, request.target, 8,
                                PropModeReplace,
                                reinterpret_cast<const unsigned char*>(value.data()),
                                int(value.size()));
            } else {
                reply.property = None;
            }
            XSendEvent(display_, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
            XFlush(display_);
        }
    }

    std::string text_;
    Display* display_;
    Window window_;
    Atom clipboard_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class GtkPasteboardTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = test::PrivateXvfb::start(why_, 640, 480);
        if (xvfb_) {
            setenv("DISPLAY", xvfb_->name().c_str(), 1);
            gtkReady_ = gtk_init_check(nullptr, nullptr);
        }
    }
    static void TearDownTestSuite() { xvfb_.reset(); }

    void SetUp() override {
        if (!xvfb_) {
            GTEST_SKIP() << "no private X server: " << why_;
        }
        if (!gtkReady_ || !fs::exists("/usr/bin/xclip")) {
            GTEST_SKIP() << "GTK or xclip unavailable";
        }
        folder_ = fs::temp_directory_path() / ("quelm-pasteboard-" + std::to_string(getpid()));
        fs::create_directories(folder_);
        pasteboard_ = GtkPasteboard::create();
        ASSERT_TRUE(pasteboard_);
        bridge_ = ClipboardBridge::create(pasteboard_, mainQueue_,
                                          std::make_shared<ThreadQueue>("quelmix.clipboard.image"),
                                          std::make_shared<GdkPixbufImageCodec>());
        bridge_->onCopy = [this](std::string text) { copies_.push_back(std::move(text)); };
        bridge_->onImage = [this](Bytes data, ClipImageFormat) { images_.push_back(data); };
        bridge_->wantsImages = [] { return true; };
        bridge_->start(0.1);
    }
    void TearDown() override {
        xclips_.clear();
        bridge_.reset();
        pasteboard_.reset();
        pump();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Another program copies: xclip keeps the selection until someone takes it.
    void xclipCopy(const Bytes& data, const std::string& target) {
        auto file = folder_ / ("copy" + std::to_string(xclips_.size()));
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        xclips_.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "xclip", "-selection", "clipboard", "-t", target, "-quiet", file.string()}));
    }
    void xclipCopyText(const std::string& text) {
        xclipCopy(Bytes(text.begin(), text.end()), "UTF8_STRING");
    }
    // What another program pastes; with `mustSucceed` false, an empty clipboard is no failure.
    std::string xclipPaste(const std::string& target, bool mustSucceed = true) {
        ChildProcess::Options piped;
        piped.pipeStdout = true;
        ChildProcess paste({"xclip", "-selection", "clipboard", "-t", target, "-o"}, piped);
        const auto status = paste.wait(5, pump);
        if (mustSucceed) {
            EXPECT_EQ(status, 0) << target;
        }
        return paste.output();
    }
    // The PNG another program pastes, decoded; null when it is none.
    std::shared_ptr<GdkPixbuf> pastedPng() {
        const auto pasted = xclipPaste("image/png");
        std::shared_ptr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new(), g_object_unref);
        if (!gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(pasted.data()),
                                     pasted.size(), nullptr)) {
            return nullptr;
        }
        gdk_pixbuf_loader_close(loader.get(), nullptr);
        GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader.get());
        return image ? std::shared_ptr<GdkPixbuf>(GDK_PIXBUF(g_object_ref(image)), g_object_unref)
                     : nullptr;
    }

    static std::unique_ptr<test::PrivateXvfb> xvfb_;
    static std::string why_;
    static bool gtkReady_;
    fs::path folder_;
    std::shared_ptr<GLibMainQueue> mainQueue_ = std::make_shared<GLibMainQueue>();
    std::shared_ptr<GtkPasteboard> pasteboard_;
    std::shared_ptr<ClipboardBridge> bridge_;
    std::vector<std::unique_ptr<ChildProcess>> xclips_;
    std::vector<std::string> copies_;
    std::vector<Bytes> images_;
};

std::unique_ptr<test::PrivateXvfb> GtkPasteboardTest::xvfb_;
std::string GtkPasteboardTest::why_;
bool GtkPasteboardTest::gtkReady_ = false;

TEST_F(GtkPasteboardTest, TextCopiedByAnotherProgramIsOffered) {
    xclipCopyText("hello from xclip – ✓");
    ASSERT_TRUE(pumpUntil([&] { return !copies_.empty(); }));
    EXPECT_EQ(copies_, std::vector<std::string>{"hello from xclip – ✓"});
    pumpFor(0.5);
    EXPECT_EQ(copies_.size(), 1u);  // offered once
}

TEST_F(GtkPasteboardTest, APasswordManagerCopyIsNotOffered) {
    {
        PasswordManagerCopy secret("hunter2");
        auto before = pasteboard_->changeCount();
        ASSERT_TRUE(pumpUntil([&] { return pasteboard_->changeCount() != before; }));
        pumpFor(0.6);  // several polls: the change is looked at and refused
    }
    xclipCopyText("after");
    ASSERT_TRUE(pumpUntil([&] { return !copies_.empty(); }));
    EXPECT_EQ(copies_, std::vector<std::string>{"after"});
}

TEST_F(GtkPasteboardTest, CompanionTextLandsAndIsNotOfferedBack) {
    auto before = pasteboard_->changeCount();
    bridge_->setFromPhone("from the phone – ü");
    EXPECT_EQ(pasteboard_->changeCount(), before + 1);
    EXPECT_EQ(xclipPaste("UTF8_STRING"), "from the phone – ü");
    pumpFor(0.6);
    EXPECT_EQ(pasteboard_->changeCount(), before + 1);  // our own owner change counted once
    EXPECT_TRUE(copies_.empty());

    xclipCopyText("next");
    ASSERT_TRUE(pumpUntil([&] { return !copies_.empty(); }));
    EXPECT_EQ(copies_, std::vector<std::string>{"next"});
}

TEST_F(GtkPasteboardTest, ASinglePixelFromTheCompanionLandsToo) {
    bridge_->setFromPhoneImage(pngOf(1, 1, 0x0000ffff));
    ASSERT_TRUE(pumpUntil(
        [&] { return xclipPaste("TARGETS", false).find("image/png") != std::string::npos; }));
    const auto image = pastedPng();
    ASSERT_TRUE(image);
    EXPECT_EQ(gdk_pixbuf_get_width(image.get()), 1);
    EXPECT_EQ(gdk_pixbuf_get_height(image.get()), 1);
    EXPECT_EQ(gdk_pixbuf_get_pixels(image.get())[2], 0xff);
}

TEST_F(GtkPasteboardTest, CompanionImagesLandAsImagesAndAreNotOfferedBack) {
    bridge_->setFromPhoneImage(pngOf(40, 30, 0xff0000ff));
    ASSERT_TRUE(pumpUntil(
        [&] { return xclipPaste("TARGETS", false).find("image/png") != std::string::npos; }));
    const auto image = pastedPng();
    ASSERT_TRUE(image);
    EXPECT_EQ(gdk_pixbuf_get_width(image.get()), 40);
    EXPECT_EQ(gdk_pixbuf_get_height(image.get()), 30);
    const guchar* pixel = gdk_pixbuf_get_pixels(image.get());
    EXPECT_EQ(pixel[0], 0xff);
    EXPECT_EQ(pixel[1], 0);

    pumpFor(0.6);
    EXPECT_TRUE(images_.empty());
    EXPECT_TRUE(copies_.empty());

    // Bytes that are no image leave the clipboard alone.
    bridge_->setFromPhoneImage(Bytes{1, 2, 3, 4});
    pumpFor(0.3);
    EXPECT_NE(xclipPaste("TARGETS").find("image/png"), std::string::npos);
}

TEST_F(GtkPasteboardTest, AnImageCopiedByAnotherProgramIsOfferedAsItIs) {
    auto png = pngOf(64, 48, 0x00ff00ff);
    xclipCopy(png, "image/png");
    ASSERT_TRUE(pumpUntil([&] { return !images_.empty(); }));
    EXPECT_EQ(images_.front(), png);
    EXPECT_TRUE(copies_.empty());
}

}  // namespace
}  // namespace quelm
