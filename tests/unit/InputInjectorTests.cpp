#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/unit/InputInjectorTest.hpp"

namespace quelm {
namespace {

using test::InputInjectorTest;
using test::RecordingEventPoster;
using Msg = ClientMessage;

constexpr EventFlags kArrowFlags = EventFlag::maskNumericPad | EventFlag::maskSecondaryFn;

TEST_F(InputInjectorTest, MoveToLandsOnTheStreamedDisplay) {
    struct Case {
        const char* name;
        DisplayRect bounds;
        double x, y;
        ScreenPoint expected;
    };
    const Case cases[] = {
        {"far corner: last pixel", {0, 0, 1920, 1080}, 1, 1, {1919, 1079}},
        {"centre", {0, 0, 1920, 1080}, 0.5, 0.5, {960, 540}},
        {"display right of another", {1920, 0, 1280, 720}, 0, 1, {1920, 719}},
        {"empty bounds: not clamped", {5, 5, 0, 0}, 1, 1, {5, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        screens->setDisplays({ActiveDisplay{.id = 1, .bounds = c.bounds, .isPrimary = true}});
        poster->clear();
        send(Msg::MoveTo{c.x, c.y});
        const auto mice = poster->only<MouseEvent>();
        ASSERT_EQ(mice.size(), 1u);
        EXPECT_EQ(mice[0].type, MouseEventType::mouseMoved);
        EXPECT_EQ(mice[0].position, c.expected);
    }
    EXPECT_FALSE(InputInjector::normalizedCursor(*poster, *displays));
}

TEST_F(InputInjectorTest, RelativeMoveIsClampedAndCarriesItsDeltas) {
    poster->pointer = ScreenPoint{20, 300};
    send(Msg::Move{-50, 0.5});
    const auto mice = poster->only<MouseEvent>();
    ASSERT_EQ(mice.size(), 1u);
    EXPECT_EQ(mice[0].position, (ScreenPoint{0, 300.5}));
    EXPECT_EQ(mice[0].deltaX, -20);
    EXPECT_EQ(mice[0].deltaY, 1);  // 0.5 rounds away from zero
    EXPECT_EQ(mice[0].flags, 0u);
}

TEST_F(InputInjectorTest, QuickMovesBuildOnThePointLastPosted) {
    send(Msg::Move{10, 0});  // from the system's (100, 100)
    poster->pointer = ScreenPoint{500, 500};
    queue->advance(0.1);
    send(Msg::Move{10, 0});  // from the posted (110, 100)
    queue->advance(0.3);
    send(Msg::Move{10, 0});  // from the system's again
    const auto mice = poster->only<MouseEvent>();
    ASSERT_EQ(mice.size(), 3u);
    EXPECT_EQ(mice[0].position, (ScreenPoint{110, 100}));
    EXPECT_EQ(mice[1].position, (ScreenPoint{120, 100}));
    EXPECT_EQ(mice[2].position, (ScreenPoint{510, 500}));
}

TEST_F(InputInjectorTest, AnEventThatCannotBePostedDoesNotMoveTheLastPostedPoint) {
    poster->failPosts = true;
    send(Msg::Move{10, 0});
    poster->failPosts = false;
    poster->pointer = ScreenPoint{300, 300};
    send(Msg::Move{10, 0});
    const auto mice = poster->only<MouseEvent>();
    ASSERT_EQ(mice.size(), 1u);
    EXPECT_EQ(mice[0].position, (ScreenPoint{310, 300}));
}

TEST_F(InputInjectorTest, ClickCountsFollowButtonTimeAndDistance) {
    auto press = [&](bool right = false) {
        send(Msg::Button{right, true, {}});
        send(Msg::Button{right, false, {}});
    };
    for (int i = 0; i < 4; ++i) {
        press();
        queue->advance(0.25);
    }
    poster->pointer = ScreenPoint{106, 100};
    queue->advance(0.25);  // the system's pointer is read again
    press();               // 6 points away
    press(true);           // another button
    queue->advance(0.6);   // beyond the interval
    press(true);
    send(Msg::DragButton{true, {}});
    send(Msg::DragButton{false, {}});

    std::vector<std::pair<MouseEventType, std::int64_t>> got;
    for (const auto& m : poster->only<MouseEvent>()) {
        got.emplace_back(m.type, m.clickState);
    }
    using T = MouseEventType;
    const std::vector<std::pair<MouseEventType, std::int64_t>> expected{
        {T::leftMouseDown, 1},  {T::leftMouseUp, 1},  {T::leftMouseDown, 2},  {T::leftMouseUp, 2},
        {T::leftMouseDown, 3},  {T::leftMouseUp, 3},  {T::leftMouseDown, 3},  {T::leftMouseUp, 3},
        {T::leftMouseDown, 1},  {T::leftMouseUp, 1},  {T::rightMouseDown, 1}, {T::rightMouseUp, 1},
        {T::rightMouseDown, 1}, {T::rightMouseUp, 1}, {T::leftMouseDown, 1},  {T::leftMouseUp, 1},
    };
    EXPECT_EQ(got, expected);
}

TEST_F(InputInjectorTest, DragPostsDraggedMovesWithHeldAndMessageFlags) {
    key(56, true);  // shift held
    send(Msg::DragButton{true, Modifiers{Modifiers::command}});
    send(Msg::Move{5, 5});
    send(Msg::DragButton{false, {}});
    send(Msg::Move{5, 5});
    const auto mice = poster->only<MouseEvent>();
    ASSERT_EQ(mice.size(), 4u);
    EXPECT_EQ(mice[0].type, MouseEventType::leftMouseDown);
    EXPECT_EQ(mice[0].flags, EventFlag::maskCommand | 0x20002);
    EXPECT_EQ(mice[1].type, MouseEventType::leftMouseDragged);
    EXPECT_EQ(mice[1].flags, 0x20002u);
    EXPECT_EQ(mice[1].position, (ScreenPoint{105, 105}));
    EXPECT_EQ(mice[2].type, MouseEventType::leftMouseUp);
    EXPECT_EQ(mice[3].type, MouseEventType::mouseMoved);
}

TEST_F(InputInjectorTest, ScrollingKeepsFractionsForLater) {
    struct Case {
        const char* name;
        std::vector<std::pair<double, double>> steps;  // dx, dy
        std::vector<ScrollEvent> expected;             // vertical, horizontal
    };
    const Case cases[] = {
        {"0.4 then 0.7 keeps 0.1", {{0, 0.4}, {0, 0.7}, {0, 0.9}}, {{1, 0, 0}, {1, 0, 0}}},
        {"-0.6 twice keeps -0.2", {{0, -0.6}, {0, -0.6}, {0, -0.8}}, {{-1, 0, 0}, {-1, 0, 0}}},
        {"horizontal 2.5 keeps 0.5", {{2.5, 0}, {0.5, 0}}, {{0, 2, 0}, {0, 1, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        releaseAll();  // clears the remainders
        poster->clear();
        for (auto [dx, dy] : c.steps) {
            send(Msg::Scroll{dx, dy});
        }
        EXPECT_EQ(poster->only<ScrollEvent>(), c.expected);
    }
}

TEST_F(InputInjectorTest, ReleaseAllWithNothingHeldPostsNothingAndClearsRemainders) {
    send(Msg::Scroll{0, 0.6});
    releaseAll();
    send(Msg::Scroll{0, 0.6});
    EXPECT_TRUE(poster->entries().empty());
}

TEST_F(InputInjectorTest, ReleaseAllLetsGoOfKeysModifiersAndTheButton) {
    key(56, true);   // shift
    key(57, true);   // caps lock on
    key(0, true);    // a
    key(123, true);  // left arrow
    key(115, true);  // home
    send(Msg::Button{false, true, {}});
    send(Msg::Button{false, false, {}});
    send(Msg::Button{false, true, {}});  // a second click, held
    poster->clear();
    poster->pointer = ScreenPoint{300, 400};
    queue->advance(0.3);
    releaseAll();

    auto keys = poster->only<KeyEvent>();
    std::sort(keys.begin(), keys.end(), [](auto& a, auto& b) { return a.code < b.code; });
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0], (KeyEvent{0, false, false, 0, std::nullopt}));
    EXPECT_EQ(keys[1], (KeyEvent{115, false, false, EventFlag::maskSecondaryFn, std::nullopt}));
    EXPECT_EQ(keys[2], (KeyEvent{123, false, false, kArrowFlags, std::nullopt}));
    // Caps lock goes off too: on X it is the server's state and would outlive the session.
    EXPECT_EQ(poster->only<FlagsChangedEvent>(),
              (std::vector<FlagsChangedEvent>{{56, 0, {}}, {57, 0, {}}}));
    const auto mice = poster->only<MouseEvent>();
    ASSERT_EQ(mice.size(), 1u);
    EXPECT_EQ(mice[0].type, MouseEventType::leftMouseUp);
    EXPECT_EQ(mice[0].position, (ScreenPoint{300, 400}));
    EXPECT_EQ(mice[0].clickState, 2);
    EXPECT_EQ(mice[0].flags, 0u);
    EXPECT_EQ(poster->typingKeysReleases, 1) << "codes borrowed for typing stay taken";

    poster->clear();
    releaseAll();
    key(0, false);
    EXPECT_EQ(poster->only<FlagsChangedEvent>().size(), 0u);
    send(Msg::Move{1, 0});
    EXPECT_EQ(poster->only<MouseEvent>().at(0).type, MouseEventType::mouseMoved);

    // Both buttons down: the one pressed first is let go of as well.
    send(Msg::Button{false, true, {}});
    send(Msg::Button{true, true, {}});
    poster->clear();
    releaseAll();
    std::vector<MouseEventType> released;
    for (const auto& event : poster->only<MouseEvent>()) {
        released.push_back(event.type);
    }
    EXPECT_EQ(released, (std::vector<MouseEventType>{MouseEventType::leftMouseUp,
                                                     MouseEventType::rightMouseUp}));
}

TEST_F(InputInjectorTest, KeysCarryHeldModifiersCapsLockAndKeyClassFlags) {
    struct Step {
        std::uint16_t code;
        bool down;
        bool isRepeat;
        Modifiers modifiers;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<RecordingEventPoster::Entry> expected;
    };
    const Modifiers none;
    const Case cases[] = {
        {"shift then a letter",
         {{56, true, false, none},
          {0, true, false, none},
          {0, false, false, none},
          {56, false, false, none}},
         {FlagsChangedEvent{56, 0x20002, {}}, KeyEvent{0, true, false, 0x20002, {}},
          KeyEvent{0, false, false, 0x20002, {}}, FlagsChangedEvent{56, 0, {}}}},
        {"caps lock toggles on presses only",
         {{57, true, false, none},
          {57, false, false, none},
          {1, true, false, none},
          {57, true, false, none}},
         {FlagsChangedEvent{57, 0x10000, {}}, KeyEvent{1, true, false, 0x10000, {}},
          FlagsChangedEvent{57, 0, {}}}},
        {"arrow with option",
         {{123, true, false, Modifiers{Modifiers::option}}},
         {KeyEvent{123, true, false, 0xA80000, {}}}},
        {"function key and right control",
         {{62, true, false, none}, {122, true, false, Modifiers{Modifiers::shift}}},
         {FlagsChangedEvent{62, 0x42000, {}}, KeyEvent{122, true, false, 0x862000, {}}}},
        {"autorepeat",
         {{0, true, true, none}, {0, false, true, none}},
         {KeyEvent{0, true, true, 0, {}}, KeyEvent{0, false, false, 0, {}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        releaseAll();
        poster->clear();
        for (const auto& s : c.steps) {
            key(s.code, s.down, s.isRepeat, s.modifiers);
        }
        EXPECT_EQ(poster->entries(), c.expected);
    }
    // A repeated release leaves nothing held.
    releaseAll();
    poster->clear();
    key(0, true, true);
    key(0, false, true);
    poster->clear();
    releaseAll();
    EXPECT_TRUE(poster->entries().empty());
}

std::vector<RecordingEventPoster::Entry> unicodePair(const std::u16string& chunk) {
    return {UnicodeKeyEvent{chunk, true}, UnicodeKeyEvent{chunk, false}};
}

std::vector<RecordingEventPoster::Entry> keyPair(std::uint16_t code) {
    return {KeyEvent{code, true, false, 0, {}}, KeyEvent{code, false, false, 0, {}}};
}

std::vector<RecordingEventPoster::Entry> joined(
    std::initializer_list<std::vector<RecordingEventPoster::Entry>> parts) {
    std::vector<RecordingEventPoster::Entry> all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

TEST_F(InputInjectorTest, TextGoesOutInChunksWithRealReturnsAndTabs) {
    using RP = RecordingEventPoster;
    std::string tenEmoji;
    std::u16string eightEmoji, twoEmoji;
    for (int i = 0; i < 10; ++i) {
        tenEmoji += "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
        (i < 8 ? eightEmoji : twoEmoji) += u"\U0001F600";
    }
    std::string longCluster = "e";
    std::u16string longClusterUnits = u"e";
    for (int i = 0; i < 20; ++i) {
        longCluster += "\xCC\x81";  // combining acute accent
        longClusterUnits += u"\u0301";
    }
    struct Case {
        const char* name;
        std::string text;
        std::vector<RP::Entry> expected;
    };
    const Case cases[] = {
        {"CR LF is one return", "abc\r\ndef\tg",
         joined({{RP::SelectASCII{}},
                 unicodePair(u"abc"),
                 keyPair(36),
                 unicodePair(u"def"),
                 keyPair(48),
                 unicodePair(u"g")})},
        {"20 letters: 16 and 4", "abcdefghijklmnopqrst",
         joined({{RP::SelectASCII{}}, unicodePair(u"abcdefghijklmnop"), unicodePair(u"qrst")})},
        {"10 emoji: 8 and 2", tenEmoji, joined({unicodePair(eightEmoji), unicodePair(twoEmoji)})},
        {"a character longer than a chunk goes alone", "x" + longCluster + "y",
         joined({{RP::SelectASCII{}},
                 unicodePair(u"x"),
                 unicodePair(longClusterUnits),
                 unicodePair(u"y")})},
        {"Japanese and accents need no ASCII input", "日本語é", unicodePair(u"日本語é")},
        {"only line breaks and tabs leave the input method alone", "\n\t\r",
         joined({keyPair(36), keyPair(48), keyPair(36)})},
        {"empty", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        poster->clear();
        text(c.text);
        EXPECT_EQ(poster->entries(), c.expected);
    }
}

TEST_F(InputInjectorTest, TextSwitchesToAnASCIIInputMethodAndBack) {
    using RP = RecordingEventPoster;
    poster->nonASCIIMethod = "mozc-jp";
    text("a");
    EXPECT_EQ(poster->entries(), joined({{RP::SelectASCII{}, RP::Pause{0.06}},
                                         unicodePair(u"a"),
                                         {RP::Pause{0.06}, RP::RestoreInputMethod{"mozc-jp"}}}));
}

TEST_F(InputInjectorTest, SetLayoutPicksTheKeyboardTypeKeysAreReadWith) {
    const auto fourCC = [](const char* s) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) + static_cast<std::uint8_t>(s[i]);
        }
        return v;
    };
    poster->layouts = [&](std::int16_t t) {
        return t == 40 ? fourCC("ANSI") : t == 41 ? fourCC("ISO ") : t == 42 ? fourCC("JIS ") : 0;
    };
    struct Case {
        const char* name;
        std::int16_t hostType;
        std::optional<KeyboardLayoutKind> layout;
        std::optional<std::int16_t> expected;
    };
    const Case cases[] = {
        {"jis wanted on an ANSI keyboard", 40, KeyboardLayoutKind::jis, 42},
        {"jis wanted on a JIS keyboard", 42, KeyboardLayoutKind::jis, std::nullopt},
        {"us wanted on a JIS keyboard", 42, KeyboardLayoutKind::us, 40},
        {"no layout", 40, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        poster->kbdType = c.hostType;
        send(Msg::SetLayout{c.layout});
        poster->clear();
        key(0, true);
        key(0, false);
        EXPECT_EQ(poster->only<KeyEvent>().at(0).keyboardType, c.expected);
    }
    EXPECT_EQ(log.sink().lines().size(), 0u);

    poster->layouts = nullptr;  // X11: no layout function
    for (auto kind : {KeyboardLayoutKind::jis, KeyboardLayoutKind::us}) {
        send(Msg::SetLayout{kind});
    }
    EXPECT_EQ(log.sink().lines(),
              (std::vector<std::string>{"no jis keyboard type available; using the host's own",
                                        "no us keyboard type available; using the host's own"}));
    poster->clear();
    key(0, true);
    EXPECT_EQ(poster->only<KeyEvent>().at(0).keyboardType, std::nullopt);
}

TEST_F(InputInjectorTest, BackAndForwardOnlyInBrowsersAndFileManagers) {
    poster->frontmost = "Firefox";
    send(Msg::System{SystemAction::back});
    poster->frontmost = "org.gnome.Nautilus";
    send(Msg::System{SystemAction::forward});
    poster->frontmost = "gedit";
    send(Msg::System{SystemAction::back});
    poster->frontmost.reset();
    send(Msg::System{SystemAction::forward});
    const EventFlags alt = EventFlag::maskAlternate;
    EXPECT_EQ(poster->entries(),
              (std::vector<RecordingEventPoster::Entry>{
                  KeyEvent{123, true, false, alt, {}}, KeyEvent{123, false, false, alt, {}},
                  KeyEvent{124, true, false, alt, {}}, KeyEvent{124, false, false, alt, {}}}));
    EXPECT_EQ(log.sink().lines(),
              (std::vector<std::string>{"back/forward ignored: front app is gedit",
                                        "back/forward ignored: front app is none"}));
}

TEST_F(InputInjectorTest, OverviewFailureIsLogged) {
    send(Msg::System{SystemAction::missionControl});
    poster->overviewError = "no desktop shell answered";
    send(Msg::System{SystemAction::missionControl});
    EXPECT_EQ(poster->only<RecordingEventPoster::Overview>().size(), 2u);
    EXPECT_EQ(log.sink().lines(),
              (std::vector<std::string>{"overview did not open: no desktop shell answered"}));
}

TEST_F(InputInjectorTest, WorkspaceSwitchesArePredictedAndBounded) {
    using Switch = RecordingEventPoster::SpaceSwitch;
    poster->spaces = SpaceInfo{0, 3};
    // Quick switches: the window manager still reports the first workspace.
    for (int i = 0; i < 3; ++i) {
        send(Msg::System{SystemAction::spaceRight});
        queue->advance(0.3);
    }
    EXPECT_EQ(poster->only<Switch>(), (std::vector<Switch>{{true}, {true}}));

    // Slow switches count from what is reported.
    poster->clear();
    poster->spaces = SpaceInfo{0, 3};
    poster->followSwitches = true;
    for (int i = 0; i < 3; ++i) {
        queue->advance(1.5);
        send(Msg::System{SystemAction::spaceRight});
    }
    EXPECT_EQ(poster->only<Switch>(), (std::vector<Switch>{{true}, {true}}));
    EXPECT_EQ(poster->spaces->index, 2u);

    poster->clear();
    poster->spaces = SpaceInfo{0, 3};
    queue->advance(1.5);
    send(Msg::System{SystemAction::spaceLeft});
    EXPECT_TRUE(poster->entries().empty());
    EXPECT_TRUE(log.sink().lines().empty());
}

TEST_F(InputInjectorTest, WorkspaceFailuresAreLogged) {
    struct Case {
        const char* name;
        bool supported;
        std::optional<SpaceInfo> info;
        bool failPosts;
        std::string line;
    };
    const Case cases[] = {
        {"no workspaces", false, SpaceInfo{0, 3}, false,
         "space switching needs a window manager with workspaces"},
        {"unreadable", true, std::nullopt, false, "could not read the Spaces list"},
        {"not posted", true, SpaceInfo{0, 3}, true, "space switch could not be posted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.sink().clear();
        poster->spacesSupported = c.supported;
        poster->spaces = c.info;
        poster->failPosts = c.failPosts;
        queue->advance(2);
        send(Msg::System{SystemAction::spaceRight});
        EXPECT_EQ(log.sink().lines(), std::vector<std::string>{c.line});
    }
}

TEST_F(InputInjectorTest, NormalizedCursorIsAFractionOfTheStreamedDisplay) {
    screens->setDisplays(
        {ActiveDisplay{.id = 1, .bounds = {100, 0, 1000, 500}, .isPrimary = true}});
    struct Case {
        ScreenPoint pointer;
        ScreenPoint expected;
    };
    for (const auto& c :
         {Case{{600, 250}, {0.5, 0.5}}, Case{{50, -10}, {0, 0}}, Case{{2000, 900}, {1, 1}}}) {
        poster->pointer = c.pointer;
        EXPECT_EQ(InputInjector::normalizedCursor(*poster, *displays), c.expected);
    }
    poster->pointer.reset();
    EXPECT_FALSE(InputInjector::normalizedCursor(*poster, *displays));
}

TEST_F(InputInjectorTest, WorkOutlivingTheInjectorDoesNothing) {
    injector->handle(Msg::Move{1, 1});
    injector.reset();
    queue->runPending();
    EXPECT_TRUE(poster->entries().empty());
}

}  // namespace
}  // namespace quelm
