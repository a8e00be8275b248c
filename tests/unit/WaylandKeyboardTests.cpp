#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <functional>
#include <string>
#include <vector>

#include "QuelmHostKit/linux/wayland/WaylandKeyboard.hpp"

namespace quelm {
namespace {

// What a Wayland poster sends for the companion's keys, as "+code" and "-code".
struct SentKeys {
    std::vector<std::string> sent;
    bool reachable = true;
    WaylandKeyboard keyboard{[this](std::uint32_t code, bool down) {
        if (reachable) {
            sent.push_back((down ? "+" : "-") + std::to_string(code));
        }
        return reachable;
    }};

    std::vector<std::string> take() { return std::exchange(sent, {}); }
};

using Keys = std::vector<std::string>;

constexpr EventFlags kRightShift = EventFlag::maskShift | 0x4;
constexpr EventFlags kRightOption = EventFlag::maskAlternate | 0x40;
constexpr EventFlags kLeftOption = EventFlag::maskAlternate | 0x20;
constexpr EventFlags kRightControl = EventFlag::maskControl | 0x2000;

TEST(WaylandKeyboardTest, AKeyIsTypedAtItsPressWithTheModifiersItsFlagsName) {
    struct Case {
        const char* name;
        EventFlags flags;
        Keys sent;
    };
    const std::vector<Case> cases = {
        {"plain", 0, {"+30", "-30"}},
        {"shift without device bits is the left key",
         EventFlag::maskShift,
         {"+42", "+30", "-30", "-42"}},
        {"right shift", kRightShift, {"+54", "+30", "-30", "-54"}},
        {"right option is the right Alt key (AltGr where the layout has it)",
         kRightOption,
         {"+100", "+30", "-30", "-100"}},
        {"right control", kRightControl, {"+97", "+30", "-30", "-97"}},
        {"command counts as left Control", EventFlag::maskCommand, {"+29", "+30", "-30", "-29"}},
        {"the caps flag presses nothing", EventFlag::maskAlphaShift, {"+30", "-30"}},
    };
    for (const auto& c : cases) {
        SentKeys keys;
        EXPECT_TRUE(keys.keyboard.key(KEY_A, true, c.flags));
        EXPECT_EQ(keys.take(), c.sent) << c.name;
        // Its release sends nothing: the desktop never sees it held, so never repeats it.
        EXPECT_TRUE(keys.keyboard.key(KEY_A, false, c.flags));
        EXPECT_EQ(keys.take(), Keys{}) << c.name;
    }
}

TEST(WaylandKeyboardTest, APressOfAHeldKeyIsOneMoreKeystroke) {
    SentKeys keys;
    keys.keyboard.key(KEY_A, true, 0);
    keys.keyboard.key(KEY_A, true, 0);
    keys.keyboard.key(KEY_A, false, 0);
    EXPECT_EQ(keys.take(), (Keys{"+30", "-30", "+30", "-30"}));
}

TEST(WaylandKeyboardTest, HeldModifiersStayDownAcrossKeysAndClicksAndGoOnRelease) {
    SentKeys keys;
    EXPECT_TRUE(keys.keyboard.flagsChanged(59, EventFlag::maskControl | 0x1));
    EXPECT_EQ(keys.take(), Keys{"+29"});
    // A key with one more modifier of its own gets it around itself alone.
    keys.keyboard.key(KEY_C, true, EventFlag::maskControl | EventFlag::maskShift);
    EXPECT_EQ(keys.take(), (Keys{"+42", "+46", "-46", "-42"}));
    // Left option let go, right option pressed: the one goes up before the other goes down.
    keys.keyboard.flagsChanged(58, EventFlag::maskControl | 0x1 | kLeftOption);
    keys.keyboard.flagsChanged(61, EventFlag::maskControl | 0x1 | kRightOption);
    EXPECT_EQ(keys.take(), (Keys{"+56", "-56", "+100"}));
    // A click without modifiers lifts them for itself and puts them back.
    keys.keyboard.syncModifiers(0);
    keys.keyboard.restoreModifiers();
    EXPECT_EQ(keys.take(), (Keys{"-29", "-100", "+29", "+100"}));
    keys.keyboard.releaseAll();
    EXPECT_EQ(keys.take(), (Keys{"-29", "-100"}));
    keys.keyboard.key(KEY_A, true, 0);
    EXPECT_EQ(keys.take(), (Keys{"+30", "-30"})) << "nothing held after releaseAll";
}

TEST(WaylandKeyboardTest, OnlyTheCapsLockKeyTouchesTheLockOneTapPerEvent) {
    SentKeys keys;
    keys.keyboard.flagsChanged(WaylandKeyboard::capsLockCode, EventFlag::maskAlphaShift);
    EXPECT_EQ(keys.take(), (Keys{"+58", "-58"}));
    EXPECT_TRUE(keys.keyboard.capsLocked());
    // Flags that no longer say caps lock do not lift it; only its key does.
    keys.keyboard.flagsChanged(56, EventFlag::maskShift);
    keys.keyboard.flagsChanged(56, 0);
    keys.keyboard.key(KEY_A, true, 0);
    EXPECT_EQ(keys.take(), (Keys{"+42", "-42", "+30", "-30"}));
    keys.keyboard.flagsChanged(WaylandKeyboard::capsLockCode, 0);
    EXPECT_EQ(keys.take(), (Keys{"+58", "-58"}));
    EXPECT_FALSE(keys.keyboard.capsLocked());
}

TEST(WaylandKeyboardTest, ADesktopThatIsGoneFailsEveryKeyAndKeepsNothingHeld) {
    SentKeys keys;
    keys.keyboard.flagsChanged(56, EventFlag::maskShift);
    keys.reachable = false;
    EXPECT_FALSE(keys.keyboard.key(KEY_A, true, 0));
    EXPECT_FALSE(keys.keyboard.flagsChanged(WaylandKeyboard::capsLockCode, 0));
    keys.keyboard.releaseAll();
    keys.reachable = true;
    keys.take();
    keys.keyboard.key(KEY_A, true, 0);
    EXPECT_EQ(keys.take(), (Keys{"+30", "-30"}));
}

}  // namespace
}  // namespace quelm
