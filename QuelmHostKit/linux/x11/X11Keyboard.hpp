#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "QuelmHostKit/linux/input/ModifierKeys.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm {

class X11Connection;

// The server's core keyboard mapping: `perCode` keysyms for each code from `minCode` up.
struct X11CoreKeymap {
    int minCode = 0;
    int maxCode = -1;
    int perCode = 0;
    std::vector<unsigned long> syms;

    static X11CoreKeymap read(X11Connection& connection);
    unsigned long at(int code, int column) const {
        return syms[static_cast<std::size_t>((code - minCode) * perCode + column)];
    }
    // The lowest code with `keysym` in the first group (the first two columns); 0 for none.
    std::uint8_t codeOf(unsigned long keysym) const;
};

// The keys one XTest connection holds down on an X server, and which keys carry the modifiers.
//
// Held keys do not repeat: the server's autorepeat is turned off for a key while it is held here
// and given back as it was when the key is let go (per-key autorepeat, XChangeKeyboardControl; it
// applies to all keyboards of the server, the XTest one included). Repeats come only from the
// companion: a press of a key already held goes out as a release and a press, since the server
// drops a second press of a key that is down and does not repeat. While the companion holds a
// key, the local keyboard's same key does not repeat either.
//
// Modifiers follow event flags: their device bits choose the left or the right key, command
// counts as Control, and right option is the key in the right Alt place when it carries
// ISO_Level3_Shift or Alt_R (the layout's AltGr, or Alt), else the layout's ISO_Level3_Shift key,
// else Alt_R.
//
// Not thread-safe: the owner's lock guards it, and its X calls run inside the owner's error trap.
class X11Keyboard final {
  public:
    explicit X11Keyboard(X11Connection& connection);

    // Reads the modifier keys of the current layout; while keys are held the earlier ones stay.
    void findModifierKeys();
    // Presses and releases modifier keys until the server's match `flags`.
    void syncModifiers(EventFlags flags);
    // The left shift key alone, for typing a shifted character.
    void setShift(bool down);

    // Presses a key that stays down until release().
    void press(std::uint8_t code);
    void release(std::uint8_t code);
    // A press and a release at once.
    void tap(std::uint8_t code);
    // Lets go of every key held, modifiers included.
    void releaseAll();
    bool holdsAny() const { return !held_.empty(); }

    // Whether the server's modifier mapping lists the code.
    bool isModifierCode(int code) const { return modifierCodes_.contains(code); }
    std::uint8_t capsLockKey() const { return capsLockKey_; }
    std::uint8_t superKey() const { return superKey_; }

  private:
    void setModifier(ModifierKeys::Key modifier, bool down);

    X11Connection& connection_;
    // 0 where the layout has no such key.
    std::array<std::uint8_t, ModifierKeys::count> keys_{};
    std::uint8_t capsLockKey_ = 0;
    std::uint8_t superKey_ = 0;
    std::set<int> modifierCodes_;
    std::set<std::uint8_t> held_;
    // Keys whose autorepeat was on before we held them.
    std::set<std::uint8_t> repeatToRestore_;
};

}  // namespace quelm
