#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "QuelmHostKit/linux/input/DBusInputMethods.hpp"
#include "QuelmHostKit/linux/input/DesktopOverview.hpp"
#include "QuelmHostKit/linux/x11/X11Keyboard.hpp"
#include "QuelmHostKit/linux/x11/X11Registration.hpp"
#include "QuelmHostKit/linux/x11/X11Workspaces.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm {

class X11Connection;

// Synthetic input on an X server through XTest, on a connection of its own.
//
// - Keys: virtual key codes become X key codes by place (X11KeyCodes). A held key does not
//   repeat: the server's autorepeat is off for each key while the companion holds it and set back
//   as it was on its release and when everything is released (X11Keyboard); repeats are the
//   companion's own presses. Before each event the modifier keys this poster holds are pressed
//   or released so that the server's Shift, Control, Alt and AltGr match the event's flags, left
//   or right as their device bits say (command counts as Control). After every release the
//   modifiers fall back to those of held modifier keys (the last flags-changed event), so
//   nothing stays pressed that no held key asks for. The fn and keypad flags mean nothing here.
// - Caps lock is shared with the local keyboard: it is pressed only for the companion's own
//   caps-lock presses, never to match a flag. Text is typed as it is: a caps lock that is on is
//   lifted while a chunk is typed and put back after it.
// - Text: a character whose keysym the keyboard already has on the first group's plain or
//   shifted level is typed with that key (and Shift), which leaves the keyboard mapping alone.
//   Any other keysym is mapped onto a spare key code (one with no symbols), pressed and released.
//   Every mapping change makes each client, the window manager included, reload its keymap and
//   redo its key grabs; a burst of them keeps a window manager from handling a click in time,
//   so the next keystrokes reach the window that had the focus before. Clients look key codes up
//   when they handle the event, which may be later, so spare codes are used in turn, highest
//   first (others ask for the lowest code of a keysym), and one is mapped anew only after
//   `spareKeyMinimumAge`. The spare codes get their empty mapping back when everything is
//   released, that is when a companion leaves.
// - Scrolling: pixels become wheel clicks (buttons 4 to 7), the rest kept for the next scroll
//   and dropped when the companion leaves.
// - The overview is asked of the desktop shell over D-Bus off the caller's thread
//   (DesktopOverview); without a shell, Super is tapped.
// - Click counts are the toolkits' business (they count by time and distance).
// - A lost X server makes every post fail and every question answer nothing; the process lives.
//
// Thread-safe: one lock guards the connection; it is never held while waiting.
class X11EventPoster final : public EventPoster,
                             public std::enable_shared_from_this<X11EventPoster> {
  public:
    static constexpr double pixelsPerWheelClick = 40;
    static constexpr double spareKeyMinimumAge = 0.1;
    static constexpr double defaultDoubleClickInterval = 0.4;

    // Nothing when the X server cannot be reached or lacks XTest. An empty name means $DISPLAY.
    static std::shared_ptr<X11EventPoster> connect(const std::string& displayName = "");
    ~X11EventPoster() override;
    X11EventPoster(const X11EventPoster&) = delete;
    X11EventPoster& operator=(const X11EventPoster&) = delete;

    bool postMouse(const MouseEvent& event) override;
    bool postScroll(const ScrollEvent& event) override;
    bool postKey(const KeyEvent& event) override;
    bool postFlagsChanged(const FlagsChangedEvent& event) override;
    bool postUnicode(const UnicodeKeyEvent& event) override;
    void releaseTypingKeys() override;

    std::optional<ScreenPoint> pointerLocation() override;
    double doubleClickInterval() override;
    // X has no keyboard types: always 0, and no layout function.
    std::int16_t keyboardType() override;
    LayoutFunction layoutFunction() override { return {}; }
    // From what the XKB rules names said when last read (at connection, then at most every
    // 10 s when a companion declares its layout); never waits on the X server.
    KeyboardLayoutKind physicalKeyboard() override;

    std::optional<std::string> selectASCIICapableInputMethod() override;
    void restoreInputMethod(const std::string& previous) override;
    void pause(double seconds) override;

    std::optional<std::string> frontmostApplication() override;
    void openOverview(OverviewDone done) override;
    bool spaceSwitchSupported() override;
    std::optional<SpaceInfo> spaceInfo() override;
    bool postSpaceSwitch(bool toRight) override;

    // True once the X server has gone.
    bool isLost() const;
    // Japanese when the XKB rules names (_XKB_RULES_NAMES: rules, model, layout, ...) name a
    // Japanese model or first layout.
    static KeyboardLayoutKind keyboardKind(const std::string& model, const std::string& layouts);
    // Net/DoubleClickTime in milliseconds from an _XSETTINGS_SETTINGS property.
    static std::optional<int> doubleClickTime(const std::vector<std::uint8_t>& settings);

  private:
    struct SpareKey {
        std::uint8_t code = 0;
        double usedAt = -1e9;
        bool mapped = false;
    };
    struct KeyPlace {
        std::uint8_t code = 0;
        bool shifted = false;
    };

    explicit X11EventPoster(std::unique_ptr<X11Connection> connection);
    void findKeys();
    void findSpareKeys();
    bool capsLocked();
    std::optional<std::string> tapSuper();
    // Types one keysym: with a key that has it, else on a spare code. False on an X error.
    bool typeKeysym(unsigned long keysym, std::unique_lock<std::mutex>& lock);
    // Where the keyboard has `keysym` now: the first group's first or second level.
    std::optional<KeyPlace> placeOf(unsigned long keysym);
    void restoreSpareKeys();
    void releaseEverything();
    std::optional<double> readDoubleClickInterval();
    KeyboardLayoutKind readKeyboardKind();

    mutable std::mutex mutex_;
    std::unique_ptr<X11Connection> connection_;
    X11Registration lostRegistration_;
    X11Workspaces workspaces_;
    DBusInputMethods inputMethods_;
    DesktopOverview overview_;
    X11Keyboard keyboard_;

    EventFlags heldFlags_ = 0;
    std::set<unsigned> buttonsDown_;
    std::vector<SpareKey> spareKeys_;
    std::size_t nextSpare_ = 0;
    double scrollX_ = 0;
    double scrollY_ = 0;
    double clickInterval_ = defaultDoubleClickInterval;
    double clickIntervalReadAt_ = -1e9;
    std::atomic<KeyboardLayoutKind> keyboardKind_{KeyboardLayoutKind::us};
    double keyboardKindReadAt_ = -1e9;
};

}  // namespace quelm
