#include <gtest/gtest.h>

#include "QuelmCore/companion/ModifierState.hpp"
#include "QuelmCore/companion/SoloCommandTap.hpp"

namespace quelm {
namespace {

constexpr auto shift = ModifierKey::shift;
constexpr auto command = ModifierKey::command;

void tap(ModifierState& state, ModifierKey key, double at) {
    state.press(key);
    state.release(key, at);
}

TEST(ModifierState, SingleTapLatchesForOneKey) {
    ModifierState state;
    tap(state, shift, 0);
    EXPECT_TRUE(state.isEngaged(shift));
    EXPECT_FALSE(state.isLocked(shift));
    EXPECT_EQ(state.consumeForKeyPress(), Modifiers{Modifiers::shift});
    EXPECT_EQ(state.consumeForKeyPress(), Modifiers{});
}

TEST(ModifierState, DoubleTapLocksUntilTappedAgain) {
    ModifierState state;
    tap(state, shift, 1.0);
    tap(state, shift, 1.3);
    EXPECT_TRUE(state.isLocked(shift));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(state.consumeForKeyPress(), Modifiers{Modifiers::shift});
    }
    tap(state, shift, 5);
    EXPECT_FALSE(state.isEngaged(shift));
    EXPECT_EQ(state.consumeForKeyPress(), Modifiers{});
}

TEST(ModifierState, SlowSecondTapRemovesTheLatch) {
    ModifierState state;
    tap(state, shift, 1.0);
    tap(state, shift, 1.5);
    EXPECT_FALSE(state.isEngaged(shift));
    // The next tap latches afresh and times its own double tap.
    tap(state, shift, 1.6);
    tap(state, shift, 1.9);
    EXPECT_TRUE(state.isLocked(shift));
}

TEST(ModifierState, HeldModifierChordsWithoutLatching) {
    ModifierState state;
    state.press(command);
    EXPECT_EQ(state.held(), Modifiers{Modifiers::command});
    EXPECT_EQ(state.consumeForKeyPress(), Modifiers{Modifiers::command});
    EXPECT_EQ(state.consumeForKeyPress(), Modifiers{Modifiers::command});
    state.release(command, 0.1);
    EXPECT_EQ(state.active(), Modifiers{});
    EXPECT_EQ(state.consumeForKeyPress(), Modifiers{});
}

TEST(ModifierState, TwoTouchesHoldUntilBothLift) {
    ModifierState state;
    state.press(shift);
    state.press(shift);
    state.release(shift, 0.1);
    EXPECT_TRUE(state.isEngaged(shift));
    EXPECT_EQ(state.held(), Modifiers{Modifiers::shift});
    state.release(shift, 0.2);
    EXPECT_EQ(state.held(), Modifiers{});
    EXPECT_TRUE(state.isEngaged(shift));  // latched once by the final lift
    EXPECT_FALSE(state.isLocked(shift));
}

TEST(ModifierState, CapsLockActsAsLockedShift) {
    ModifierState state;
    state.toggleCaps();
    EXPECT_TRUE(state.capsLocked());
    EXPECT_TRUE(state.isLocked(shift));
    EXPECT_EQ(state.active(), Modifiers{Modifiers::shift});
    EXPECT_EQ(state.consumeForKeyPress(), Modifiers{Modifiers::shift});
    EXPECT_EQ(state.consumeForKeyPress(), Modifiers{Modifiers::shift});
    state.toggleCaps();
    EXPECT_FALSE(state.isLocked(shift));
}

TEST(ModifierState, AbandonAndStrayReleasesLatchNothingWrong) {
    ModifierState state;
    state.press(ModifierKey::option);
    state.abandon(ModifierKey::option);
    EXPECT_EQ(state.active(), Modifiers{});

    // A chord whose touch was cancelled forgets that it was used.
    state.press(command);
    state.consumeForKeyPress();
    state.abandon(command);
    tap(state, command, 1);
    EXPECT_TRUE(state.isEngaged(command));

    // Releases without presses never drive the count below zero.
    ModifierState stray;
    stray.release(ModifierKey::control, 0);
    stray.release(ModifierKey::control, 0.1);
    stray.press(ModifierKey::control);
    EXPECT_EQ(stray.held(), Modifiers{Modifiers::control});
}

TEST(ModifierState, CombinedLatchesAndClearAll) {
    ModifierState state;
    tap(state, ModifierKey::control, 0);
    tap(state, ModifierKey::option, 0.1);
    tap(state, ModifierKey::option, 0.2);
    state.press(command);
    state.toggleCaps();
    EXPECT_EQ(state.consumeForKeyPress(), (Modifiers{Modifiers::shift, Modifiers::control,
                                                     Modifiers::option, Modifiers::command}));
    EXPECT_EQ(state.active(), (Modifiers{Modifiers::shift, Modifiers::option, Modifiers::command}));
    state.clearAll();
    EXPECT_EQ(state.active(), Modifiers{});
    EXPECT_FALSE(state.capsLocked());
}

TEST(SoloCommandTap, LoneCommandTapsBecomeInputModeKeys) {
    struct Case {
        const char* name;
        std::uint16_t key;
        double upAt;
        std::optional<std::uint16_t> expected;
    };
    const Case cases[] = {
        {"left, quick", 55, 0.3, 102},
        {"right, quick", 54, 0.6, 104},
        {"left, held", 55, 0.7, std::nullopt},
    };
    for (const auto& c : cases) {
        SoloCommandTap tap;
        tap.keyDown(c.key, 0);
        EXPECT_EQ(tap.keyUp(c.key, c.upAt), c.expected) << c.name;
        EXPECT_FALSE(tap.candidate) << c.name;
    }
}

TEST(SoloCommandTap, OtherKeysCancelTheTap) {
    SoloCommandTap chord;
    chord.keyDown(55, 0);
    chord.keyDown(8, 0.1);
    EXPECT_EQ(chord.keyUp(8, 0.2), std::nullopt);
    EXPECT_EQ(chord.keyUp(55, 0.3), std::nullopt);

    SoloCommandTap both;
    both.keyDown(55, 0);
    both.keyDown(54, 0.1);
    EXPECT_EQ(both.keyUp(54, 0.2), std::nullopt);
    EXPECT_EQ(both.keyUp(55, 0.3), std::nullopt);

    // Releasing some other key keeps the candidate.
    SoloCommandTap stray;
    stray.keyDown(54, 0);
    EXPECT_EQ(stray.keyUp(8, 0.1), std::nullopt);
    EXPECT_EQ(stray.keyUp(54, 0.2), std::uint16_t{104});
}

}  // namespace
}  // namespace quelm
