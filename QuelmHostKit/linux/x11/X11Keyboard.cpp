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

// Device bits of the left and right keys of each modifier.
constexpr EventFlags kShiftLeftBit = 0x2;
constexpr EventFlags kShiftRightBit = 0x4;
constexpr EventFlags kControlLeftBit = 0x1;
constexpr EventFlags kControlRightBit = 0x2000;
constexpr EventFlags kAltLeftBit = 0x20;
constexpr EventFlags kAltRightBit = 0x40;

struct Sides {
    bool left = false;
    bool right = false;
};

// Which keys of a modifier `flags` ask for: the ones their device bits name, the left one
// when they name none (a message's modifiers carry no device bits).
Sides sides(EventFlags flags, EventFlags family, EventFlags leftBit, EventFlags rightBit) {
    if ((flags & family) == 0) {
        return {};
    }
    Sides s{(flags & leftBit) != 0, (flags & rightBit) != 0};
    if (!s.left && !s.right) {
        s.left = true;
    }
    return s;
}

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

X11Keyboard::Modifier X11Keyboard::existing(Modifier right, Modifier left) const {
    return keys_[right] != 0 ? right : left;
}

void X11Keyboard::syncModifiers(EventFlags flags) {
    const Sides shift = sides(flags, EventFlag::maskShift, kShiftLeftBit, kShiftRightBit);
    Sides control = sides(flags, EventFlag::maskControl, kControlLeftBit, kControlRightBit);
    control.left = control.left || (flags & EventFlag::maskCommand) != 0;
    const Sides alt = sides(flags, EventFlag::maskAlternate, kAltLeftBit, kAltRightBit);

    std::array<bool, count> wanted{};
    wanted[shiftLeft] = shift.left;
    wanted[existing(shiftRight, shiftLeft)] |= shift.right;
    wanted[controlLeft] = wanted[controlLeft] || control.left;
    wanted[existing(controlRight, controlLeft)] |= control.right;
    wanted[altLeft] = wanted[altLeft] || alt.left;
    wanted[existing(altRight, altLeft)] |= alt.right;
    // Releases first: AltGr let go before Alt goes down, say, never both at once.
    for (int pass = 0; pass < 2; ++pass) {
        for (int m = 0; m < count; ++m) {
            if (wanted[m] == (pass == 1)) {
                setModifier(static_cast<Modifier>(m), wanted[m]);
            }
        }
    }
}

void X11Keyboard::setShift(bool down) {
    setModifier(shiftLeft, down);
}

void X11Keyboard::setModifier(Modifier modifier, bool down) {
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
