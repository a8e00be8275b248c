#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "QuelmCore/InputValues.hpp"

namespace quelm {

// The software keyboard's own modifier keys, in this order.
enum class ModifierKey { shift, control, option, command };

inline constexpr std::array<ModifierKey, 4> allModifierKeys{
    ModifierKey::shift, ModifierKey::control, ModifierKey::option, ModifierKey::command};

// The `Modifiers` bit of the same name.
std::uint8_t modifierBit(ModifierKey key);

// Which of the software keyboard's modifiers apply to the next key. A modifier held down
// applies while held (a chord); tapped on its own it latches for the next key only; a double
// tap locks it until it is tapped again; caps lock acts as a locked shift.
class ModifierState {
  public:
    // Longest gap (s) between two taps that locks a modifier.
    static constexpr double doubleTapWindow = 0.35;

    Modifiers active() const;
    Modifiers held() const;
    bool isLocked(ModifierKey key) const;
    bool isEngaged(ModifierKey key) const;
    bool capsLocked() const { return capsLocked_; }

    void press(ModifierKey key);
    // The key went up at `now` (seconds): ends a chord, or a tap that latches.
    void release(ModifierKey key, double now);
    // The key's touch ended without effect (cancelled): nothing latches.
    void abandon(ModifierKey key);
    void toggleCaps() { capsLocked_ = !capsLocked_; }
    // The modifiers for a key pressed now; one-shot latches are used up.
    Modifiers consumeForKeyPress();
    void clearAll();

  private:
    enum class Mode { once, locked };
    struct Entry {
        std::optional<Mode> mode;
        int heldCount = 0;
        bool usedWhileHeld = false;
        // Time of the tap that last latched the key.
        double lastTap = 0;
    };

    Entry& entry(ModifierKey key) { return entries_[static_cast<std::size_t>(key)]; }
    const Entry& entry(ModifierKey key) const { return entries_[static_cast<std::size_t>(key)]; }
    void releaseHold(Entry& e) { e.heldCount = e.heldCount > 0 ? e.heldCount - 1 : 0; }

    std::array<Entry, 4> entries_{};
    bool capsLocked_ = false;
};

}  // namespace quelm
