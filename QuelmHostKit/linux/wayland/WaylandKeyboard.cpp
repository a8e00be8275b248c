#include "QuelmHostKit/linux/wayland/WaylandKeyboard.hpp"

#include <linux/input-event-codes.h>

namespace quelm {

namespace {

constexpr std::uint32_t kModifierCodes[ModifierKeys::count] = {
    KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL, KEY_LEFTALT, KEY_RIGHTALT};

}  // namespace

bool WaylandKeyboard::key(std::uint32_t evdev, bool down, EventFlags flags) {
    if (!down) {
        // The press typed it.
        return restoreModifiers();
    }
    const bool typed = syncModifiers(flags) && tap(evdev);
    return restoreModifiers() && typed;
}

bool WaylandKeyboard::flagsChanged(std::uint16_t code, EventFlags flags) {
    heldFlags_ = flags;
    bool ok = syncModifiers(flags);
    if (code == capsLockCode) {
        const bool tapped = tap(KEY_CAPSLOCK);
        capsLocked_ = capsLocked_ != tapped;
        ok = tapped && ok;
    }
    return ok;
}

bool WaylandKeyboard::syncModifiers(EventFlags flags) {
    bool ok = true;
    ModifierKeys::apply(
        ModifierKeys::wanted(flags), [this](ModifierKeys::Key key) { return down_[key]; },
        [this, &ok](ModifierKeys::Key key, bool down) {
            if (send_(kModifierCodes[key], down)) {
                down_[key] = down;
            } else {
                ok = false;
            }
        });
    return ok;
}

void WaylandKeyboard::releaseAll() {
    heldFlags_ = 0;
    syncModifiers(0);
    // Forgotten even where the release could not be sent: that desktop is gone.
    down_ = {};
}

bool WaylandKeyboard::tap(std::uint32_t evdev) {
    return send_(evdev, true) && send_(evdev, false);
}

}  // namespace quelm
