#include "QuelmCore/companion/ModifierState.hpp"

namespace quelm {

std::uint8_t modifierBit(ModifierKey key) {
    switch (key) {
        case ModifierKey::shift:
            return Modifiers::shift;
        case ModifierKey::control:
            return Modifiers::control;
        case ModifierKey::option:
            return Modifiers::option;
        case ModifierKey::command:
            return Modifiers::command;
    }
    return 0;
}

Modifiers ModifierState::active() const {
    Modifiers result = held();
    for (auto key : allModifierKeys) {
        if (entry(key).mode) {
            result.insert(modifierBit(key));
        }
    }
    if (capsLocked_) {
        result.insert(Modifiers::shift);
    }
    return result;
}

Modifiers ModifierState::held() const {
    Modifiers result;
    for (auto key : allModifierKeys) {
        if (entry(key).heldCount > 0) {
            result.insert(modifierBit(key));
        }
    }
    return result;
}

bool ModifierState::isLocked(ModifierKey key) const {
    return entry(key).mode == Mode::locked || (key == ModifierKey::shift && capsLocked_);
}

bool ModifierState::isEngaged(ModifierKey key) const {
    return active().contains(modifierBit(key));
}

void ModifierState::press(ModifierKey key) {
    ++entry(key).heldCount;
}

void ModifierState::release(ModifierKey key, double now) {
    Entry& e = entry(key);
    releaseHold(e);
    if (e.heldCount > 0) {
        return;  // another touch still holds it
    }
    if (e.usedWhileHeld) {
        // It served as a chord and does not latch.
        e.usedWhileHeld = false;
        return;
    }
    if (!e.mode) {
        e.mode = Mode::once;
        e.lastTap = now;
    } else if (e.mode == Mode::once && now - e.lastTap <= doubleTapWindow) {
        e.mode = Mode::locked;
    } else {
        e.mode.reset();
    }
}

void ModifierState::abandon(ModifierKey key) {
    Entry& e = entry(key);
    releaseHold(e);
    if (e.heldCount == 0) {
        e.usedWhileHeld = false;
    }
}

Modifiers ModifierState::consumeForKeyPress() {
    const Modifiers result = active();
    for (auto& e : entries_) {
        if (e.heldCount > 0) {
            e.usedWhileHeld = true;
        }
        if (e.mode == Mode::once) {
            e.mode.reset();
        }
    }
    return result;
}

void ModifierState::clearAll() {
    for (auto& e : entries_) {
        e.mode.reset();
        e.heldCount = 0;
        e.usedWhileHeld = false;
    }
    capsLocked_ = false;
}

}  // namespace quelm
