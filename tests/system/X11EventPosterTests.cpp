#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/XHeldInput.hpp"
#include "tests/system/X11InjectorTest.hpp"

namespace quelm::test {
// Named before Xlib defines ClientMessage as an event type.
using Msg = ::quelm::ClientMessage;
}  // namespace quelm::test

// Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quelm {
namespace {

using test::Msg;
using namespace std::chrono_literals;

constexpr int kWidth = test::X11InjectorTest::kWidth;
constexpr int kHeight = test::X11InjectorTest::kHeight;

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A program of the test (a window manager, a dialog) on `display`; with `piped`, its stdout and
// stderr read by the test.
std::unique_ptr<test::ChildProcess> startOn(const std::string& display,
                                            const std::vector<std::string>& argv, bool piped) {
    test::ChildProcess::Options options;
    options.environment = {"DISPLAY=" + display, "NO_AT_BRIDGE=1"};
    for (const char* keep : {"HOME", "PATH", "XDG_RUNTIME_DIR", "LANG"}) {
        if (const char* value = std::getenv(keep)) {
            options.environment.push_back(std::string(keep) + "=" + value);
        }
    }
    options.pipeStdout = piped;
    options.pipeStderr = piped;
    return std::make_unique<test::ChildProcess>(argv, options);
}

// A window of the test covering the screen, with the focus, that records what reaches it.
struct Recorder {
    Display* display = nullptr;
    Window window = 0;

    explicit Recorder(const std::string& name, const char* windowClass = "QuelmRecorder",
                      bool overrideRedirect = true) {
        display = XOpenDisplay(name.c_str());
        if (display == nullptr) {
            return;
        }
        held = test::XHeldInput::open(name);
        XSetWindowAttributes attributes{};
        attributes.override_redirect = overrideRedirect ? True : False;
        attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask |
                                ButtonReleaseMask | PointerMotionMask | FocusChangeMask;
        window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, kWidth, kHeight, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWEventMask, &attributes);
        XClassHint hint{const_cast<char*>("recorder"), const_cast<char*>(windowClass)};
        XSetClassHint(display, window, &hint);
        XMapRaised(display, window);
        XSync(display, False);
    }
    ~Recorder() {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
    void focus() {
        XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
        XSync(display, False);
    }
    // Asks the window manager to activate the window, as a pager would.
    void activate() {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, DefaultRootWindow(display), False,
                   SubstructureNotifyMask | SubstructureRedirectMask, &event);
        XSync(display, False);
    }

    // Events of the given types that arrive within `limit`.
    std::vector<XEvent> events(std::function<bool(const XEvent&)> wanted,
                               std::chrono::milliseconds limit = 500ms) {
        std::vector<XEvent> found;
        XSync(display, False);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                if (wanted(event)) {
                    found.push_back(event);
                }
            }
            pollfd fd{ConnectionNumber(display), POLLIN, 0};
            poll(&fd, 1, 20);
        }
        return found;
    }
    void drain() {
        events([](const XEvent&) { return false; }, 100ms);
    }

    ScreenPoint pointer(unsigned* mask = nullptr) {
        Window root, child;
        int rx = 0, ry = 0, x = 0, y = 0;
        unsigned m = 0;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rx, &ry, &x, &y, &m);
        if (mask != nullptr) {
            *mask = m;
        }
        return {static_cast<double>(rx), static_cast<double>(ry)};
    }
    // Key codes the server has down.
    std::vector<int> keysDown() { return held->keysDown(); }

    std::unique_ptr<test::XHeldInput> held;
};

bool isType(const XEvent& e, int type) {
    return e.type == type;
}

class X11EventPosterTest : public test::X11InjectorTest {};

TEST_F(X11EventPosterTest, PointerReachesTheDisplaysEdgesAndButtonsArrive) {
    Recorder recorder(server->name());
    struct Case {
        double x, y;
        ScreenPoint expected;
    };
    for (const auto& c : {Case{1, 1, {kWidth - 1, kHeight - 1}}, Case{0, 0, {0, 0}},
                          Case{0.5, 0.25, {kWidth / 2, kHeight / 4}}}) {
        send(Msg::MoveTo{c.x, c.y});
        EXPECT_EQ(recorder.pointer(), c.expected);
    }
    queue->advance(1);
    send(Msg::Move{-5000, 0});
    EXPECT_EQ(recorder.pointer(), (ScreenPoint{0, kHeight / 4}));
    EXPECT_EQ(poster->pointerLocation(), (ScreenPoint{0, kHeight / 4}));

    recorder.drain();
    send(Msg::Button{false, true, {}});
    send(Msg::Button{false, false, {}});
    send(Msg::Button{true, true, {}});
    send(Msg::Button{true, false, {}});
    const auto buttons = recorder.events(
        [](const XEvent& e) { return isType(e, ButtonPress) || isType(e, ButtonRelease); });
    std::vector<std::pair<int, unsigned>> got;
    for (const auto& e : buttons) {
        got.emplace_back(e.type, e.xbutton.button);
        EXPECT_EQ(e.xbutton.x_root, 0);
        EXPECT_EQ(e.xbutton.y_root, kHeight / 4);
    }
    EXPECT_EQ(got,
              (std::vector<std::pair<int, unsigned>>{
                  {ButtonPress, 1}, {ButtonRelease, 1}, {ButtonPress, 3}, {ButtonRelease, 3}}));
}

TEST_F(X11EventPosterTest, CommandShortcutArrivesWithControlAndLeavesNothingPressed) {
    Recorder recorder(server->name());
    recorder.focus();
    recorder.drain();
    send(Msg::Key{8, true, false, Modifiers{Modifiers::command}});  // c
    send(Msg::Key{8, false, false, Modifiers{Modifiers::command}});
    send(Msg::Key{56, true, false, {}});  // shift held
    send(Msg::Key{0, true, false, {}});   // a
    send(Msg::Key{0, false, false, {}});
    send(Msg::Key{56, false, false, {}});
    const auto keys = recorder.events([](const XEvent& e) { return isType(e, KeyPress); });
    std::vector<std::pair<std::string, unsigned>> got;
    for (const auto& e : keys) {
        XKeyEvent key = e.xkey;
        char text[8] = {};
        KeySym sym = NoSymbol;
        XLookupString(&key, text, sizeof text, &sym, nullptr);
        got.emplace_back(XKeysymToString(sym) ? XKeysymToString(sym) : "?",
                         key.state & (ShiftMask | ControlMask | Mod1Mask));
    }
    EXPECT_EQ(got, (std::vector<std::pair<std::string, unsigned>>{
                       {"Control_L", 0}, {"c", ControlMask}, {"Shift_L", 0}, {"A", ShiftMask}}));
    EXPECT_TRUE(recorder.keysDown().empty());
}

TEST_F(X11EventPosterTest, ScrollingBecomesWheelClicksAndKeepsTheRest) {
    Recorder recorder(server->name());
    recorder.drain();
    const double click = X11EventPoster::pixelsPerWheelClick;
    send(Msg::Scroll{0, 2.5 * click});   // two up, half kept
    send(Msg::Scroll{0, 0.5 * click});   // one more up
    send(Msg::Scroll{-1 * click, 0});    // one right
    send(Msg::Scroll{0, -0.9 * click});  // nothing yet
    injector->releaseAll();              // a new companion starts from nothing
    send(Msg::Scroll{0, -0.5 * click});
    const auto presses = recorder.events([](const XEvent& e) { return isType(e, ButtonPress); });
    std::vector<unsigned> buttons;
    for (const auto& e : presses) {
        buttons.push_back(e.xbutton.button);
    }
    EXPECT_EQ(buttons, (std::vector<unsigned>{4, 4, 4, 7}));
}

TEST_F(X11EventPosterTest, ReleaseAllLeavesNothingHeldOnTheServer) {
    Recorder recorder(server->name());
    recorder.focus();
    struct Case {
        const char* name;
        std::vector<Msg> messages;
        unsigned heldMask;
        std::size_t keys;
    };
    const Case cases[] = {
        {"keys, modifiers and a drag with command",
         {Msg::Key{56, true, false, {}},                           // shift
          Msg::Key{59, true, false, {}},                           // control
          Msg::Key{0, true, false, Modifiers{Modifiers::option}},  // a, with alt
          Msg::Key{123, true, false, {}},                          // left arrow
          Msg::DragButton{true, Modifiers{Modifiers::command}}},
         Button1Mask,
         4},
        // Caps lock is the server's state, not a flag of our events.
        {"caps lock locked during a drag",
         {Msg::Key{57, true, false, {}}, Msg::DragButton{true, {}}, Msg::Move{5, 5}},
         Button1Mask | LockMask,
         0},
        {"both buttons down",
         {Msg::Button{false, true, {}}, Msg::Button{true, true, {}}},
         Button1Mask | Button3Mask,
         0},
    };
    constexpr unsigned kAnyHeld =
        Button1Mask | Button2Mask | Button3Mask | ShiftMask | LockMask | ControlMask | Mod1Mask;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& message : c.messages) {
            send(message);
        }
        unsigned mask = 0;
        recorder.pointer(&mask);
        ASSERT_EQ(mask & c.heldMask, c.heldMask);
        ASSERT_GE(recorder.keysDown().size(), c.keys);

        injector->releaseAll();
        queue->runPending();
        recorder.pointer(&mask);
        EXPECT_EQ(mask & kAnyHeld, 0u);
        EXPECT_TRUE(recorder.keysDown().empty());
        queue->advance(1);  // no click counting across cases
    }
}

TEST_F(X11EventPosterTest, ALostServerMakesPostsFailWithoutEndingTheProcess) {
    server->kill();
    MouseEvent move;
    move.position = {10, 10};
    EXPECT_FALSE(poster->postMouse(move));
    EXPECT_FALSE(poster->postKey({0, true, false, 0, {}}));
    EXPECT_FALSE(poster->postUnicode({u"a", true}));
    EXPECT_FALSE(poster->pointerLocation());
    EXPECT_FALSE(poster->spaceInfo());
    send(Msg::Text{"still here"});
    EXPECT_TRUE(log.sink().waitFor("X server lost", 1));
}

// A GTK text entry (zenity prints what was typed) reads the typed characters back.
// The server's whole core keyboard mapping.
std::vector<KeySym> keyboardMapping(Display* display) {
    int minCode = 0;
    int maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    int perCode = 0;
    KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(minCode),
                                       maxCode - minCode + 1, &perCode);
    std::vector<KeySym> mapping(syms, syms + (maxCode - minCode + 1) * perCode);
    XFree(syms);
    return mapping;
}

// Each mapping change makes every client reload its keymap and the window manager redo its key
// grabs: text the keyboard can type must not cause any, and the spare codes go back empty.
TEST_F(X11EventPosterTest, TextOnTheKeyboardLeavesItsMappingAloneAndSpareCodesGoBackEmpty) {
    Recorder recorder(server->name());
    recorder.focus();
    recorder.drain();
    const auto before = keyboardMapping(recorder.display);
    send(Msg::Text{"Hi, A~|z"});
    EXPECT_EQ(keyboardMapping(recorder.display), before);
    std::string got;
    for (const auto& e : recorder.events([](const XEvent& e) { return isType(e, KeyPress); })) {
        XKeyEvent key = e.xkey;
        char text[8] = {};
        if (XLookupString(&key, text, sizeof text, nullptr, nullptr) == 1) {
            got += text;
        }
    }
    EXPECT_EQ(got, "Hi, A~|z");
    EXPECT_TRUE(recorder.keysDown().empty()) << "Shift left down";

    send(Msg::Text{"é日"});
    EXPECT_NE(keyboardMapping(recorder.display), before);
    injector->releaseAll();
    queue->runPending();
    EXPECT_EQ(keyboardMapping(recorder.display), before);
}

TEST_F(X11EventPosterTest, TextTypedIntoAGtkEntryArrivesAsCharacters) {
    Recorder probe(server->name());
    auto zenity = startOn(server->name(), {"zenity", "--entry", "--text=type"}, true);
    ASSERT_TRUE(zenity->started());
    // Its window maps without a window manager; give it the focus.
    Window entryWindow = 0;
    ASSERT_TRUE(eventually(
        [&] {
            Window root, parent;
            Window* children = nullptr;
            unsigned count = 0;
            XQueryTree(probe.display, DefaultRootWindow(probe.display), &root, &parent, &children,
                       &count);
            for (unsigned i = 0; i < count; ++i) {
                XClassHint hint{};
                XWindowAttributes attributes{};
                XGetWindowAttributes(probe.display, children[i], &attributes);
                if (attributes.map_state == IsViewable && children[i] != probe.window &&
                    XGetClassHint(probe.display, children[i], &hint)) {
                    const bool isZenity =
                        hint.res_class && strcasecmp(hint.res_class, "zenity") == 0;
                    XFree(hint.res_name);
                    XFree(hint.res_class);
                    if (isZenity) {
                        entryWindow = children[i];
                    }
                }
            }
            if (children != nullptr) {
                XFree(children);
            }
            return entryWindow != 0;
        },
        20s))
        << "zenity did not show its window: exit " << zenity->wait(0).value_or(-1) << " "
        << zenity->errors();
    XUnmapWindow(probe.display, probe.window);
    XRaiseWindow(probe.display, entryWindow);
    XSetInputFocus(probe.display, entryWindow, RevertToPointerRoot, CurrentTime);
    XSync(probe.display, False);
    std::this_thread::sleep_for(500ms);  // GTK takes the focus in

    const std::string typed = "日本語のテキスト café naïve Ωmega 😀👍 Hello, World! ~|{}\\ end";
    send(Msg::Text{typed + "\n"});
    zenity->wait(10);
    EXPECT_EQ(zenity->output(), typed + "\n");
}

class WorkspaceTest : public X11EventPosterTest {
  protected:
    void SetUp() override {
        X11EventPosterTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        openbox = startOn(server->name(), {"openbox", "--sm-disable"}, false);
        if (!eventually([&] { return poster->spaceSwitchSupported() && poster->spaceInfo(); },
                        10s)) {
            GTEST_SKIP() << "openbox did not start";
        }
        // openbox publishes its workspaces before it obeys switches to them.
        Display* display = XOpenDisplay(server->name().c_str());
        ASSERT_NE(display, nullptr);
        const auto reach = [&](long index) {
            return eventually([&] {
                XEvent event{};
                event.xclient.type = ClientMessage;
                event.xclient.window = DefaultRootWindow(display);
                event.xclient.message_type = XInternAtom(display, "_NET_CURRENT_DESKTOP", False);
                event.xclient.format = 32;
                event.xclient.data.l[0] = index;
                XSendEvent(display, DefaultRootWindow(display), False,
                           SubstructureNotifyMask | SubstructureRedirectMask, &event);
                XSync(display, False);
                std::this_thread::sleep_for(50ms);
                const auto info = poster->spaceInfo();
                return info && info->index == static_cast<std::uint32_t>(index);
            });
        };
        const bool ready = reach(1) && reach(0);
        XCloseDisplay(display);
        ASSERT_TRUE(ready) << "openbox does not switch workspaces";
    }
    std::unique_ptr<test::ChildProcess> openbox;
};

TEST_F(WorkspaceTest, SwitchesAreBoundedAndQuickOnesFollowThePrediction) {
    const auto start = poster->spaceInfo();
    ASSERT_TRUE(start);
    ASSERT_GE(start->count, 2u);
    const std::uint32_t last = start->count - 1;
    EXPECT_EQ(start->index, 0u);

    send(Msg::System{SystemAction::spaceLeft});  // already on the first: nothing
    for (std::uint32_t i = 0; i < start->count + 1; ++i) {
        send(Msg::System{SystemAction::spaceRight});  // quick: counts from the prediction
    }
    EXPECT_TRUE(eventually([&] {
        const auto info = poster->spaceInfo();
        return info && info->index == last;
    })) << "on workspace "
        << (poster->spaceInfo() ? long{poster->spaceInfo()->index} : -1L) << " of " << start->count;
    queue->advance(2);
    send(Msg::System{SystemAction::spaceLeft});
    EXPECT_TRUE(eventually([&] {
        const auto info = poster->spaceInfo();
        return info && info->index == last - 1;
    }));
    EXPECT_TRUE(log.sink().lines().empty());
}

TEST_F(WorkspaceTest, BackAndForwardReachBrowsersOnlyAsAltArrows) {
    Recorder browser(server->name(), "Firefox", false);
    ASSERT_TRUE(eventually([&] {
        browser.activate();
        return poster->frontmostApplication() == "Firefox";
    }));
    browser.drain();
    send(Msg::System{SystemAction::back});
    send(Msg::System{SystemAction::forward});
    const auto keys = browser.events([](const XEvent& e) { return isType(e, KeyPress); });
    std::vector<std::pair<std::string, unsigned>> got;
    for (const auto& e : keys) {
        XKeyEvent key = e.xkey;
        KeySym sym = XLookupKeysym(&key, 0);
        got.emplace_back(XKeysymToString(sym), key.state & (ControlMask | Mod1Mask));
    }
    EXPECT_EQ(got, (std::vector<std::pair<std::string, unsigned>>{
                       {"Alt_L", 0}, {"Left", Mod1Mask}, {"Alt_L", 0}, {"Right", Mod1Mask}}));
    EXPECT_TRUE(browser.keysDown().empty());

    Recorder editor(server->name(), "Gedit", false);
    ASSERT_TRUE(eventually([&] {
        editor.activate();
        return poster->frontmostApplication() == "Gedit";
    }));
    send(Msg::System{SystemAction::back});
    EXPECT_EQ(log.sink().count("back/forward ignored: front app is Gedit"), 1);
}

}  // namespace
}  // namespace quelm
