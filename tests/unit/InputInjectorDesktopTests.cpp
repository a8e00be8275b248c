#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "QuelmCore/companion/ShortcutButton.hpp"
#include "QuelmHostKit/input/DesktopShortcuts.hpp"
#include "tests/unit/InputInjectorTest.hpp"

namespace quelm {
namespace {

using test::InputInjectorTest;
using test::RecordingEventPoster;
using Entry = RecordingEventPoster::Entry;
using Msg = ClientMessage;

constexpr EventFlags kControl = EventFlag::maskControl;
constexpr EventFlags kShift = EventFlag::maskShift;
constexpr EventFlags kAlt = EventFlag::maskAlternate;
constexpr EventFlags kArrow = EventFlag::maskNumericPad | EventFlag::maskSecondaryFn;
constexpr EventFlags kFn = EventFlag::maskSecondaryFn;
const Modifiers kCommand{Modifiers::command};

std::vector<Entry> tap(std::uint16_t code, EventFlags flags) {
    return {KeyEvent{code, true, false, flags, {}}, KeyEvent{code, false, false, flags, {}}};
}

std::vector<Entry> concat(std::initializer_list<std::vector<Entry>> parts) {
    std::vector<Entry> all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// What each of the companion's default buttons does on a Linux desktop, in their order.
TEST_F(InputInjectorTest, DefaultShortcutButtonsDoOnLinuxWhatTheirTitlesSay) {
    struct Row {
        const char* meaning;
        std::vector<Entry> expected;
    };
    const std::vector<Row> rows{
        {"copy: Control+C", tap(8, kControl)},
        {"paste: Control+V", tap(9, kControl)},
        {"undo: Control+Z", tap(6, kControl)},
        {"redo: Control+Shift+Z", tap(6, kControl | kShift)},
        {"select all: Control+A", tap(0, kControl)},
        {"save: Control+S", tap(1, kControl)},
        {"find: Control+F", tap(3, kControl)},
        {"launcher and search: a tap of Super, not the input-method toggle", tap(55, 0)},
        {"switch windows: Alt+Tab, Alt held until the switcher is done",
         concat(
             {{FlagsChangedEvent{58, kAlt, {}}}, tap(48, kAlt), {FlagsChangedEvent{58, 0, {}}}})},
        {"close: Control+W", tap(13, kControl)},
        {"escape", tap(53, 0)},
        {"overview", {RecordingEventPoster::Overview{}}},
        {"left", tap(123, kArrow)},
        {"down", tap(125, kArrow)},
        {"up", tap(126, kArrow)},
        {"right", tap(124, kArrow)},
    };
    const auto buttons = ShortcutButton::defaults();
    ASSERT_EQ(buttons.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(buttons[i].title + " (" + rows[i].meaning + ")");
        poster->clear();
        if (const auto* keys = std::get_if<ShortcutButton::Command::Keys>(&buttons[i].command)) {
            key(keys->code, true, false, keys->modifiers);
            key(keys->code, false, false, keys->modifiers);
        } else {
            send(Msg::System{std::get<ShortcutButton::Command::System>(buttons[i].command).action});
        }
        queue->advance(InputInjector::switcherLinger);
        EXPECT_EQ(poster->entries(), rows[i].expected);
    }
}

TEST(DesktopShortcuts, CommandCombinationsBecomeTheDesktopsOwn) {
    using DesktopShortcuts::Translation;
    constexpr EventFlags command = EventFlag::maskCommand;
    constexpr EventFlags rightCommandKey = 0x100010;
    struct Case {
        const char* name;
        std::uint16_t code;
        EventFlags flags;
        Translation expected;
    };
    const Case cases[] = {
        {"quit stays Control+Q", 12, command, {{12, kControl}, 0}},
        {"no command: as it is", 123, kAlt | 0x20, {{123, kAlt | 0x20}, 0}},
        {"held right command key", 123, rightCommandKey, {{115, 0}, 0}},
        {"shift kept: select to the line's start", 123, command | kShift, {{115, kShift}, 0}},
        {"end of the document", 125, command, {{119, kControl}, 0}},
        {"reverse window switch", 48, command | kShift, {{48, kAlt | kShift}, kAlt}},
        {"windows of the application", 50, command, {{50, kAlt}, kAlt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DesktopShortcuts::translate(c.code, c.flags), c.expected);
    }
}

TEST_F(InputInjectorTest, WindowSwitcherStaysOpenBetweenTabsAndClosesAfterThem) {
    // Sent whole, as a button does: open until a pause after the last tab.
    key(48, true, false, kCommand);
    key(48, false, false, kCommand);
    queue->advance(0.6);
    key(48, true, false, Modifiers{Modifiers::command | Modifiers::shift});
    key(48, false, false, Modifiers{Modifiers::command | Modifiers::shift});
    queue->advance(0.6);
    EXPECT_EQ(poster->only<FlagsChangedEvent>().size(), 1u) << "closed between tabs";
    queue->advance(0.5);
    EXPECT_EQ(poster->entries(), concat({{FlagsChangedEvent{58, kAlt, {}}},
                                         tap(48, kAlt),
                                         tap(48, kAlt | kShift),
                                         {FlagsChangedEvent{58, 0, {}}}}));

    // A click chooses: the switcher closes before it.
    poster->clear();
    key(48, true, false, kCommand);
    key(48, false, false, kCommand);
    send(Msg::Button{false, true, {}});
    const auto entries = poster->entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[3], Entry(FlagsChangedEvent{58, 0, {}}));
    EXPECT_EQ(std::get<MouseEvent>(entries[4]).flags, 0u);
    send(Msg::Button{false, false, {}});

    // With command held as a key, Alt takes its place until the key is let go of.
    poster->clear();
    key(55, true);
    key(48, true);
    key(48, false);
    queue->advance(5);
    key(48, true);
    key(48, false);
    key(55, false);
    EXPECT_EQ(poster->entries(),
              concat({{FlagsChangedEvent{55, 0x100008, {}}, FlagsChangedEvent{58, kAlt, {}}},
                      tap(48, kAlt),
                      tap(48, kAlt),
                      {FlagsChangedEvent{55, 0, {}}}}));
}

TEST_F(InputInjectorTest, AShortcutKeyIsReleasedAsTheKeyItWasPressedAs) {
    key(55, true);
    key(123, true);  // command+left: Home
    key(55, false);
    key(123, false);
    releaseAll();
    EXPECT_EQ(poster->only<KeyEvent>(),
              (std::vector<KeyEvent>{{115, true, false, kFn, {}}, {115, false, false, kFn, {}}}));
}

TEST_F(InputInjectorTest, PointerMessagesWaitingTogetherCollapseIntoTheirNewestPosition) {
    poster->pointer = ScreenPoint{100, 100};
    // All of this arrives while the queue is busy.
    for (int i = 0; i < 1000; ++i) {
        injector->handle(Msg::MoveTo{0.001 * i, 0.5});
    }
    injector->handle(Msg::Move{10, 0});
    injector->handle(Msg::Move{5, 1});
    injector->handle(Msg::Key{0, true, false, {}});
    injector->handle(Msg::Move{3, 0});
    for (int i = 0; i < 3; ++i) {
        injector->handle(Msg::Scroll{0, 0.5});
    }
    injector->releaseAll();  // the companion leaves, another comes
    injector->handle(Msg::Key{1, true, false, {}});
    injector->handle(Msg::Move{1, 0});
    queue->runPending();

    std::vector<std::string> got;
    for (const auto& entry : poster->entries()) {
        if (const auto* m = std::get_if<MouseEvent>(&entry)) {
            got.push_back("move " + std::to_string(static_cast<int>(m->position.x)) + "," +
                          std::to_string(static_cast<int>(m->position.y)));
        } else if (const auto* k = std::get_if<KeyEvent>(&entry)) {
            got.push_back("key " + std::to_string(k->code) + (k->down ? " down" : " up"));
        } else if (const auto* s = std::get_if<ScrollEvent>(&entry)) {
            got.push_back("scroll " + std::to_string(s->vertical));
        }
    }
    // 0.999 of 1920 is 1918.08, then +15 and +1 in y; the scrolls sum to 1.5: one line, 0.5
    // kept until the release.
    EXPECT_EQ(got, (std::vector<std::string>{"move 1918,540", "move 1919,541", "key 0 down",
                                             "move 1919,541", "scroll 1", "key 0 up", "key 1 down",
                                             "move 1919,541"}));
    poster->clear();
    send(Msg::Scroll{0, 0.6});
    EXPECT_TRUE(poster->only<ScrollEvent>().empty()) << "the remainder went with the release";
}

TEST_F(InputInjectorTest, ControlCharactersInTextBecomeKeysOrAreSkippedWithOneLine) {
    text(std::string("a\bb\x7F\x1B\x01\x02") + "c\x07");
    EXPECT_EQ(poster->entries(),
              concat({{RecordingEventPoster::SelectASCII{}},
                      {UnicodeKeyEvent{u"a", true}, UnicodeKeyEvent{u"a", false}},
                      tap(51, 0),
                      {UnicodeKeyEvent{u"b", true}, UnicodeKeyEvent{u"b", false}},
                      tap(51, 0),
                      tap(53, 0),
                      {UnicodeKeyEvent{u"c", true}, UnicodeKeyEvent{u"c", false}}}));
    EXPECT_EQ(log.sink().lines(),
              std::vector<std::string>{"text: control characters skipped, the first U+0001"});
}

}  // namespace
}  // namespace quelm
