#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "QuelmHostKit/linux/input/DBusInputMethods.hpp"
#include "QuelmHostKit/linux/input/DesktopOverview.hpp"
#include "QuelmHostKit/linux/wayland/WaylandKeyboard.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterDesktop.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm {

class WaylandPointer;

// Synthetic input through mutter's RemoteDesktop session.
//
// - Pointer: absolute motion on the ScreenCast stream of the monitor under the point (mutter
//   places the pointer relative to a recorded monitor), buttons by evdev code.
// - Scrolling: pixels as smooth (finger) axis motion, so toolkits scroll by pixels.
// - Keys: evdev codes by place, as on X11, through WaylandKeyboard: a key is typed in full at
//   its press (Wayland clients would repeat a held key by themselves), modifiers follow each
//   event's flags left or right, a caps-lock flags-changed event is one tap of caps lock.
// - Text: mutter types a keysym only when its keymap has it (others are dropped without a word),
//   so ASCII goes as keysyms and every other character is typed as the toolkits' Unicode entry:
//   Control+Shift+U, the code point in hex, space (GTK's and IBus's own input methods). A caps
//   lock the companion turned on is lifted while text is typed; one of the local keyboard's is
//   not seen, and turns the case of letters typed as keysyms.
// - Workspaces: GNOME has no interface that says which workspace is shown, so a switch is
//   GNOME's default shortcut (Super+Page Down / Page Up) and the position is unknown (see
//   spaceInfo).
// - Without a session every post fails; the process lives.
//
// Thread-safe: calls are sent without waiting for mutter, in order.
class MutterEventPoster final : public EventPoster,
                                public std::enable_shared_from_this<MutterEventPoster> {
  public:
    static constexpr double defaultDoubleClickInterval = 0.4;

    MutterEventPoster(std::shared_ptr<MutterDesktop> desktop,
                      std::shared_ptr<WaylandPointer> pointer);

    bool postMouse(const MouseEvent& event) override;
    bool postScroll(const ScrollEvent& event) override;
    bool postKey(const KeyEvent& event) override;
    bool postFlagsChanged(const FlagsChangedEvent& event) override;
    bool postUnicode(const UnicodeKeyEvent& event) override;
    void releaseTypingKeys() override;
    std::optional<ScreenPoint> pointerLocation() override;
    double doubleClickInterval() override { return defaultDoubleClickInterval; }
    std::int16_t keyboardType() override { return 0; }
    LayoutFunction layoutFunction() override { return {}; }
    KeyboardLayoutKind physicalKeyboard() override { return KeyboardLayoutKind::us; }
    std::optional<std::string> selectASCIICapableInputMethod() override;
    void restoreInputMethod(const std::string& previous) override;
    void pause(double seconds) override;
    // Wayland does not tell a client which window is active.
    std::optional<std::string> frontmostApplication() override { return std::nullopt; }
    void openOverview(OverviewDone done) override;
    bool spaceSwitchSupported() override;
    // Nothing says where GNOME is: the answer lets a switch go either way, and GNOME stops at
    // the ends itself.
    std::optional<SpaceInfo> spaceInfo() override;
    bool postSpaceSwitch(bool toRight) override;

    // The keysym of a character that mutter's keymap surely has (printable ASCII, Return,
    // Tab); none for the others.
    static std::optional<std::uint32_t> plainKeysym(char32_t character);
    // The hex digits typed for `character` in the Unicode entry (lower case, no leading zeros).
    static std::string unicodeEntryHex(char32_t character);

  private:
    std::optional<std::string> tapSuper();
    bool key(std::uint16_t evdev, bool down);
    bool tapKeysym(std::uint32_t keysym);
    bool typeByEntry(char32_t character);
    bool movePointer(const ScreenPoint& point);
    void releaseEverything();

    std::shared_ptr<MutterDesktop> desktop_;
    std::shared_ptr<WaylandPointer> pointer_;
    DBusInputMethods inputMethods_;
    DesktopOverview overview_;

    std::mutex mutex_;
    WaylandKeyboard keyboard_;
    std::set<std::uint32_t> buttonsDown_;
};

}  // namespace quelm
