#pragma once

#include <cstdint>
#include <functional>

#include "QuelmHostKit/linux/input/ModifierKeys.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm {

// The companion's keys as evdev key events on a Wayland desktop, whatever carries them there
// (mutter's remote desktop, a virtual keyboard).
//
// - Held keys do not repeat. On Wayland each client repeats a key by itself while the key is
//   down, at the rate the seat announces; no request turns that off for one key or one device.
//   So a key other than a modifier is typed in full when it is pressed (press and release at
//   once) and its release sends nothing: the desktop never sees it held, and the companion's
//   own repeats, each one more press, are exactly one more keystroke each. Modifier keys do
//   not repeat and stay held as long as the companion holds them. What this gives up: a
//   program cannot tell how long a key was held (a game's walk, push-to-talk).
// - Modifiers follow event flags: before a keystroke or a click the modifier keys are pressed
//   or released so that Shift, Control and Alt match the flags, left or right as their device
//   bits say (command counts as Control; right option is the right Alt key, which the layout
//   makes AltGr where it has one), and afterwards they fall back to those of the held modifier
//   keys (the last flags-changed event).
// - Caps lock: a flags-changed event of the caps-lock key is one press and release of caps
//   lock; no other event touches the lock.
//
// Not thread-safe: the owner serialises calls.
class WaylandKeyboard final {
  public:
    // Sends one evdev key going down or up; false when it could not be sent.
    using Send = std::function<bool(std::uint32_t evdev, bool down)>;

    static constexpr std::uint16_t capsLockCode = 57;

    explicit WaylandKeyboard(Send send) : send_(std::move(send)) {}

    // A key other than a modifier, by evdev code.
    bool key(std::uint32_t evdev, bool down, EventFlags flags);
    // The modifier keys held from now on, as a flags-changed event of `code` says.
    bool flagsChanged(std::uint16_t code, EventFlags flags);
    // Modifiers matching `flags`, for a click or for typing (0); restoreModifiers() afterwards.
    bool syncModifiers(EventFlags flags);
    bool restoreModifiers() { return syncModifiers(heldFlags_); }
    // Lets go of every modifier key held; the flags held are none from now on.
    void releaseAll();
    // Whether this keyboard's own taps left caps lock on (the local keyboard's are not seen).
    bool capsLocked() const { return capsLocked_; }

  private:
    bool tap(std::uint32_t evdev);

    Send send_;
    ModifierKeys::Set down_{};
    EventFlags heldFlags_ = 0;
    bool capsLocked_ = false;
};

}  // namespace quelm
