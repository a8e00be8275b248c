#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/Eventually.hpp"
#include "tests/system/X11InjectorTest.hpp"

namespace quelm::test {
// Named before Xlib defines ClientMessage as an event type.
using Msg = ::quelm::ClientMessage;
}  // namespace quelm::test

// Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quelm {
namespace {

using test::eventually;
using test::Msg;
using namespace std::chrono_literals;

// A client of the test's own: a window that takes the keyboard and reads what it types as an
// application would, and questions about the server's keyboard.
struct KeyClient {
    Display* display = nullptr;
    Window window = 0;

    struct Key {
        bool press = false;
        std::string keysym;  // the key's own, unshifted
        std::string text;    // what it types with the state it came with
    };

    KeyClient(const std::string& name, const char* windowClass) {
        display = XOpenDisplay(name.c_str());
        if (display == nullptr) {
            return;
        }
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = KeyPressMask | KeyReleaseMask | FocusChangeMask;
        window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 640, 480, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWEventMask, &attributes);
        XClassHint hint{const_cast<char*>("client"), const_cast<char*>(windowClass)};
        XSetClassHint(display, window, &hint);
        XStoreName(display, window, windowClass);
        XMapRaised(display, window);
        XSync(display, False);
    }
    ~KeyClient() {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
    void focus() {
        XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
        XSync(display, False);
    }
    // The key events that arrive within `limit`.
    std::vector<Key> keys(std::chrono::milliseconds limit = 400ms) {
        std::vector<Key> found;
        XSync(display, False);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == MappingNotify) {
                    XRefreshKeyboardMapping(&event.xmapping);
                }
                if (event.type != KeyPress && event.type != KeyRelease) {
                    continue;
                }
                char text[16] = {};
                const int length = XLookupString(&event.xkey, text, sizeof text, nullptr, nullptr);
                const char* name = XKeysymToString(XLookupKeysym(&event.xkey, 0));
                found.push_back({event.type == KeyPress, name ? name : "?",
                                 std::string(text, static_cast<std::size_t>(length))});
            }
            pollfd fd{ConnectionNumber(display), POLLIN, 0};
            poll(&fd, 1, 20);
        }
        return found;
    }
    std::string typed(std::chrono::milliseconds limit = 400ms) {
        std::string text;
        for (const auto& k : keys(limit)) {
            text += k.press ? k.text : "";
        }
        return text;
    }

    bool capsLocked() {
        XkbStateRec state{};
        XkbGetState(display, XkbUseCoreKbd, &state);
        return (state.locked_mods & LockMask) != 0;
    }
    void setCapsLock(bool on) {
        XkbLockModifiers(display, XkbUseCoreKbd, LockMask, on ? LockMask : 0);
        XSync(display, False);
    }
    bool autorepeats(int code) {
        XKeyboardState state{};
        XGetKeyboardControl(display, &state);
        return ((state.auto_repeats[code / 8] >> (code % 8)) & 1) != 0;
    }
};

class X11DesktopInputTest : public test::X11InjectorTest {
  protected:
    void key(std::uint16_t code, bool down, bool isRepeat = false, Modifiers modifiers = {}) {
        send(Msg::Key{code, down, isRepeat, modifiers});
    }
    void releaseAll() {
        injector->releaseAll();
        queue->runPending();
    }
    // A program of the test on the private display.
    std::unique_ptr<test::ChildProcess> run(std::vector<std::string> args) {
        args[0] = test::ChildProcess::find(args[0]);
        if (args[0].empty()) {
            return nullptr;
        }
        test::ChildProcess::Options options;
        options.environment = {"DISPLAY=" + server->name()};
        for (const char* keep : {"HOME", "PATH", "XDG_RUNTIME_DIR"}) {
            if (const char* value = std::getenv(keep)) {
                options.environment.push_back(std::string(keep) + "=" + value);
            }
        }
        return std::make_unique<test::ChildProcess>(args, options);
    }
};

constexpr int kKeyA = 38;  // X key code of the A key (evdev 30)

TEST_F(X11DesktopInputTest, AHeldKeyPressesOnceAndRepeatsOnlyWhenTheCompanionRepeats) {
    KeyClient client(server->name(), "Editor");
    client.focus();
    client.keys(100ms);
    ASSERT_TRUE(client.autorepeats(kKeyA));

    key(0, true);
    // Longer than the server's repeat delay (660 ms).
    const auto held = client.keys(1500ms);
    EXPECT_FALSE(client.autorepeats(kKeyA));
    key(0, true, true);  // the companion's own repeat
    key(0, false);
    const auto after = client.keys();
    std::string got;
    for (const auto& k : held) {
        got += k.press ? "P" : "R";
    }
    got += "|";
    for (const auto& k : after) {
        got += k.press ? "P" : "R";
    }
    EXPECT_EQ(got, "P|RPR") << "a repeat is one more keystroke";
    EXPECT_TRUE(client.autorepeats(kKeyA)) << "the local keyboard repeats again";

    // A companion that leaves with the key down gives the setting back too.
    key(0, true);
    releaseAll();
    EXPECT_TRUE(client.autorepeats(kKeyA));
    EXPECT_EQ(client.typed(), "a");
}

TEST_F(X11DesktopInputTest, CapsLockBelongsToWhoeverChangedIt) {
    KeyClient client(server->name(), "Editor");
    client.focus();

    // The local user's caps lock: keys follow it, text is typed as it is, and it stays.
    client.setCapsLock(true);
    key(0, true);
    key(0, false);
    send(Msg::Text{"a"});
    EXPECT_EQ(client.typed(), "Aa");
    EXPECT_TRUE(client.capsLocked());
    releaseAll();
    EXPECT_TRUE(client.capsLocked()) << "the companion never touched it";

    // The companion's: its press turns it on, its leaving turns it off.
    client.setCapsLock(false);
    key(57, true);
    key(57, false);
    EXPECT_TRUE(client.capsLocked());
    key(0, true);
    key(0, false);
    EXPECT_EQ(client.typed(), "A");
    releaseAll();
    EXPECT_FALSE(client.capsLocked());
}

TEST_F(X11DesktopInputTest, RightModifiersAreTheirOwnKeysAndRightOptionIsAltGr) {
    auto layout = run({"setxkbmap", "-display", server->name(), "de"});
    if (!layout) {
        GTEST_SKIP() << "setxkbmap is not installed";
    }
    ASSERT_EQ(layout->wait(10), 0);
    poster->keyboardType();  // a companion's arrival: the layout is read again
    KeyClient client(server->name(), "Editor");
    client.focus();

    key(61, true);                         // right option
    for (std::uint16_t code : {12, 30}) {  // Q, and the key right of P
        key(code, true);
        key(code, false);
    }
    key(61, false);
    key(60, true);  // right shift
    key(0, true);
    key(0, false);
    key(60, false);
    std::vector<std::string> pressed;
    std::string text;
    for (const auto& k : client.keys()) {
        if (k.press) {
            pressed.push_back(k.keysym);
            text += k.text;
        }
    }
    // On a German keyboard AltGr+Q is @ and the key right of Ü (+) gives ~.
    EXPECT_EQ(text, "@~A");
    EXPECT_EQ(pressed.front(), "ISO_Level3_Shift");
    EXPECT_NE(std::find(pressed.begin(), pressed.end(), "Shift_R"), pressed.end());
    EXPECT_EQ(std::find(pressed.begin(), pressed.end(), "Alt_L"), pressed.end());
}

TEST_F(X11DesktopInputTest, KanaAndEisuAreTheKeysJapaneseInputMethodsActOn) {
    auto layout = run({"setxkbmap", "-display", server->name(), "jp"});
    if (!layout) {
        GTEST_SKIP() << "setxkbmap is not installed";
    }
    ASSERT_EQ(layout->wait(10), 0);
    KeyClient client(server->name(), "Editor");
    client.focus();
    for (std::uint16_t code : {104, 102}) {  // kana, eisu
        key(code, true);
        key(code, false);
    }
    std::vector<std::string> pressed;
    for (const auto& k : client.keys()) {
        if (k.press) {
            pressed.push_back(k.keysym);
        }
    }
    EXPECT_EQ(pressed, (std::vector<std::string>{"Hiragana_Katakana", "Muhenkan"}));
}

TEST_F(X11DesktopInputTest, CommandTabSwitchesWindowsUnderOpenbox) {
    auto openbox = run({"openbox", "--sm-disable"});
    if (!openbox || !eventually([&] { return poster->spaceSwitchSupported(); }, 10s)) {
        GTEST_SKIP() << "openbox did not start";
    }
    // Two terminals, the second one in front.
    std::unique_ptr<test::ChildProcess> terminals[2];
    const char* classes[2] = {"First", "Second"};
    for (int i = 0; i < 2; ++i) {
        terminals[i] = run({"xterm", "-class", classes[i], "-e", "sleep", "600"});
        ASSERT_NE(terminals[i], nullptr) << "xterm is not installed";
        ASSERT_TRUE(eventually([&] { return poster->frontmostApplication() == classes[i]; }, 20s))
            << classes[i] << " did not come to the front";
    }

    // As the "app switch" button sends it. Alt stays down until openbox shows its switcher (a
    // window of its own over the others): a real person takes a second to let go.
    KeyClient probe(server->name(), "Probe");
    XUnmapWindow(probe.display, probe.window);
    const auto popups = [&] {
        std::vector<Window> found;
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        XQueryTree(probe.display, DefaultRootWindow(probe.display), &root, &parent, &children,
                   &count);
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            if (XGetWindowAttributes(probe.display, children[i], &attributes) &&
                attributes.map_state == IsViewable && attributes.override_redirect) {
                found.push_back(children[i]);
            }
        }
        if (children != nullptr) {
            XFree(children);
        }
        return found;
    };
    const auto before = popups();
    key(48, true, false, Modifiers{Modifiers::command});
    key(48, false, false, Modifiers{Modifiers::command});
    EXPECT_TRUE(eventually([&] { return popups().size() > before.size(); }))
        << "no window switcher opened";
    queue->advance(InputInjector::switcherLinger);
    EXPECT_TRUE(eventually([&] { return poster->frontmostApplication() == "First"; }))
        << "front: " << poster->frontmostApplication().value_or("none");
}

}  // namespace
}  // namespace quelm
