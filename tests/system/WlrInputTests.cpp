#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/system/WlrSessionTest.hpp"

namespace quelm::test {
namespace {

// The host's virtual pointer and keyboard against the test window in a fresh headless sway;
// the checks read what the window received.
class WlrInputTest : public WlrSessionTest {
  protected:
    void SetUp() override {
        WlrSessionTest::SetUp();
        if (!ready()) {
            return;
        }
        poster = session->eventPoster();
        ASSERT_NE(poster, nullptr);
    }
    void TearDown() override {
        poster.reset();
        WlrSessionTest::TearDown();
    }

    bool mouse(MouseEventType type, double x, double y) {
        return poster->postMouse({type, {x, y}, kLeftButton, 1});
    }
    bool key(std::uint16_t code, bool down, EventFlags flags = 0) {
        return poster->postKey({code, down, false, flags});
    }

    std::shared_ptr<EventPoster> poster;
};

TEST_F(WlrInputTest, MovesLandAtTheirWindowCoordinatesAndAClickIsOneButton) {
    ASSERT_TRUE(mouse(MouseEventType::mouseMoved, 300, 400));
    // The pointer enters the window first.
    EXPECT_TRUE(desktop->line("enter 300 400"));
    ASSERT_TRUE(mouse(MouseEventType::mouseMoved, 640, 360));
    EXPECT_TRUE(desktop->line("motion 640 360"));
    EXPECT_EQ(poster->pointerLocation(), (ScreenPoint{640, 360}));

    ASSERT_TRUE(mouse(MouseEventType::leftMouseDown, 640, 360));
    ASSERT_TRUE(mouse(MouseEventType::leftMouseUp, 640, 360));
    EXPECT_TRUE(desktop->line("button 1 down 640 360"));
    EXPECT_TRUE(desktop->line("button 1 up 640 360"));

    ASSERT_TRUE(poster->postScroll({30, 0, 0}));
    auto scroll = desktop->line("scroll ");
    ASSERT_TRUE(scroll);
    double dx = 0, dy = 0;
    ASSERT_EQ(std::sscanf(scroll->c_str(), "scroll %lf %lf", &dx, &dy), 2);
    EXPECT_LT(dy, 0) << "positive scrolls up: " << *scroll;
}

TEST_F(WlrInputTest, KeysByCodeFollowTheFlagsAndTextOfAnyScriptReachTheEntry) {
    // The window gets the focus once the host's keyboard is there.
    ASSERT_TRUE(desktop->line("focus"));
    // Virtual key 0 is the A key, evdev 30 (X key code 38).
    ASSERT_TRUE(key(0, true));
    ASSERT_TRUE(key(0, false));
    EXPECT_TRUE(desktop->line("key down a 38"));
    EXPECT_TRUE(desktop->line("key up a 38"));
    ASSERT_TRUE(key(0, true, EventFlag::maskShift));
    ASSERT_TRUE(key(0, false, EventFlag::maskShift));
    EXPECT_TRUE(desktop->line("key down A 38"));
    EXPECT_TRUE(desktop->line("text aA"));

    // Held past the window's repeat delay: one character, and a repeat from the companion is
    // one more.
    ASSERT_TRUE(key(0, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_TRUE(poster->postKey({0, true, true, 0}));
    ASSERT_TRUE(key(0, false));
    // Caps lock is its key's own business: a key without the caps flag does not lift it.
    ASSERT_TRUE(poster->postFlagsChanged({57, EventFlag::maskAlphaShift}));
    ASSERT_TRUE(key(0, true));
    ASSERT_TRUE(key(0, false));
    ASSERT_TRUE(poster->postFlagsChanged({57, 0}));
    ASSERT_TRUE(key(0, true));
    ASSERT_TRUE(key(0, false));
    EXPECT_TRUE(desktop->line("text aAaaAa"));

    const std::u16string text = u"日本語 café 😀";
    ASSERT_TRUE(poster->postUnicode({text, true}));
    ASSERT_TRUE(poster->postUnicode({text, false}));
    EXPECT_TRUE(desktop->line("text aAaaAa日本語 café 😀"));
}

TEST_F(WlrInputTest, WorkspacesAreSwaysOwnAndSwitchOnTheFocusedOutput) {
    ASSERT_TRUE(poster->spaceSwitchSupported());
    EXPECT_EQ(poster->spaceInfo(), (SpaceInfo{0, 1}));
    desktop->sway().command("workspace 2");
    EXPECT_EQ(poster->spaceInfo(), (SpaceInfo{1, 2}));
    ASSERT_TRUE(poster->postSpaceSwitch(false));
    // Back on the window's workspace; sway drops the empty one.
    EXPECT_EQ(poster->spaceInfo(), (SpaceInfo{0, 1}));
    EXPECT_EQ(poster->frontmostApplication(), "quelm-wayland-test-client");
}

}  // namespace
}  // namespace quelm::test
