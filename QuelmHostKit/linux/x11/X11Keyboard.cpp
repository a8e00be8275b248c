#include "QuelmHostKit/linux/x11/X11Keyboard.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>

#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/linux/x11/X11KeyCodes.hpp"

namespace quelm {

namespace {

constexpr std::uint16_t kRightOption = 61;

}  // namespace

X11CoreKeymap X11CoreKeymap::read(X11Connection& connection) {
    Display* display = connection.display();
    X11CoreKeymap map;
    XDisplayKeycodes(display, &map.minCode, &map.maxCode);
    KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(map.minCode),
                                       map.maxCode - map.minCode + 1, &map.perCode);
    if (syms == nullptr) {
        map.maxCode = map.minCode - 1;
        return map;
    }
    map.syms.assign(syms, syms + (map.maxCode - map.minCode + 1) * map.perCode);
    XFree(syms);
    return map;
}

std::uint8_t X11CoreKeymap::codeOf(unsigned long keysym) const {
    for (int code = minCode; code <= maxCode; ++code) {
        for (int column = 0; column < std::min(perCode, 2); ++column) {
            if (at(code, column) == keysym) {
                return static_cast<std::uint8_t>(code);
            }
        }
    }
    return 0;
}

X11Keyboard::X11Keyboard(X11Connection& connection) : connection_(connection) {}

void X11Keyboard::findModifierKeys() {
    if (!held_.empty()) {
        return;
    }
    Display* display = connection_.display();
    modifierCodes_.clear();
    if (XModifierKeymap* modifiers = XGetModifierMapping(display)) {
        for (int i = 0; i < 8 * modifiers->max_keypermod; ++i) {
            if (modifiers->modifiermap[i] != 0) {
                modifierCodes_.insert(modifiers->modifiermap[i]);
            }
        }
        XFreeModifiermap(modifiers);
    }
    const X11CoreKeymap map = X11CoreKeymap::read(connection_);
    using namespace ModifierKeys;
    keys_[shiftLeft] = map.codeOf(XK_Shift_L);
    keys_[shiftRight] = map.codeOf(XK_Shift_R);
    keys_[controlLeft] = map.codeOf(XK_Control_L);
    keys_[controlRight] = map.codeOf(XK_Control_R);
    keys_[altLeft] = map.codeOf(XK_Alt_L);
    capsLockKey_ = map.codeOf(XK_Caps_Lock);
    superKey_ = map.codeOf(XK_Super_L);

    // The key where a right Alt key sits does what the user's own right Alt does: AltGr on
    // German, French and most ISO layouts, Alt on US ones.
    keys_[altRight] = 0;
    if (const auto place = X11KeyCodes::xKeyCode(kRightOption);
        place && *place >= map.minCode && *place <= map.maxCode) {
        const unsigned long sym = map.at(*place, 0);
        if (sym == XK_ISO_Level3_Shift || sym == XK_Alt_R) {
            keys_[altRight] = *place;
        }
    }
    if (keys_[altRight] == 0) {
        keys_[altRight] = map.codeOf(XK_ISO_Level3_Shift);
    }
    if (keys_[altRight] == 0) {
        keys_[altRight] = map.codeOf(XK_Alt_R);
    }
}

void X11Keyboard::syncModifiers(EventFlags flags) {
    const ModifierKeys::Set asked = ModifierKeys::wanted(flags);
    ModifierKeys::Set wanted{};
    for (int key = 0; key < ModifierKeys::count; ++key) {
        // A right key the layout lacks is stood in for by the left one.
        const bool right = key % 2 == 1;
        wanted[right && keys_[key] == 0 ? key - 1 : key] |= asked[key];
    }
    ModifierKeys::apply(
        wanted,
        [this](ModifierKeys::Key key) { return keys_[key] != 0 && held_.contains(keys_[key]); },
        [this](ModifierKeys::Key key, bool down) { setModifier(key, down); });
}

void X11Keyboard::setShift(bool down) {
    setModifier(ModifierKeys::shiftLeft, down);
}

void X11Keyboard::setModifier(ModifierKeys::Key modifier, bool down) {
    const std::uint8_t code = keys_[modifier];
    if (code == 0 || held_.contains(code) == down) {
        return;
    }
    if (down) {
        press(code);
    } else {
        release(code);
    }
}

void X11Keyboard::press(std::uint8_t code) {
    Display* display = connection_.display();
    if (held_.contains(code)) {
        XTestFakeKeyEvent(display, code, False, CurrentTime);
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        return;
    }
    XKeyboardState state{};
    XGetKeyboardControl(display, &state);
    if ((static_cast<unsigned char>(state.auto_repeats[code / 8]) >> (code % 8)) & 1U) {
        XKeyboardControl control{};
        control.key = code;
        control.auto_repeat_mode = AutoRepeatModeOff;
        XChangeKeyboardControl(display, KBKey | KBAutoRepeatMode, &control);
        repeatToRestore_.insert(code);
    }
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    held_.insert(code);
}

void X11Keyboard::release(std::uint8_t code) {
    Display* display = connection_.display();
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    held_.erase(code);
    if (repeatToRestore_.erase(code) > 0) {
        XKeyboardControl control{};
        control.key = code;
        control.auto_repeat_mode = AutoRepeatModeOn;
        XChangeKeyboardControl(display, KBKey | KBAutoRepeatMode, &control);
    }
}

void X11Keyboard::tap(std::uint8_t code) {
    if (held_.contains(code)) {
        press(code);  // one more keystroke
        return;
    }
    XTestFakeKeyEvent(connection_.display(), code, True, CurrentTime);
    XTestFakeKeyEvent(connection_.display(), code, False, CurrentTime);
}

void X11Keyboard::releaseAll() {
    const auto held = held_;
    for (std::uint8_t code : held) {
        release(code);
    }
}

}  // namespace quelm
