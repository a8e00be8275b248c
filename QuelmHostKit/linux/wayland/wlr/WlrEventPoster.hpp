#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "QuelmHostKit/linux/input/DBusInputMethods.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm {

class SwayWorkspaces;
class WaylandConnection;
class WlrKeymap;
class WaylandPointer;

// Synthetic input on a wlroots compositor: one zwlr_virtual_pointer_v1 and one
// zwp_virtual_keyboard_v1, made when the poster is created.
//
// - Pointer: absolute motion over the box of all outputs (layout coordinates), buttons as evdev
//   BTN_LEFT/RIGHT/MIDDLE, pixel scrolling as continuous axis motion.
// - Keys: virtual key codes become evdev codes by place, through WaylandKeyboard: a key is typed
//   in full at its press (Wayland clients would repeat a held key by themselves), modifiers
//   follow each event's flags left or right, a caps-lock flags-changed event is one tap of caps
//   lock. The keymap's layout is the session's (XKB_DEFAULT_LAYOUT, else US), so right option
//   is AltGr where that layout has it.
// - Text: the keyboard's keymap is the host's own (WlrKeymap): the characters of a text are
//   put on spare key codes, the new keymap is sent, and each character is one press and
//   release of its code. The compositor drops the first key of a new virtual keyboard, so one
//   key without a keysym is pressed at creation.
// - Workspaces through sway's IPC when SWAYSOCK names one.
// - A lost compositor makes every post fail; the process lives on.
//
// Thread-safe: the protocol work runs on the connection's event thread and the caller waits
// for it.
class WlrEventPoster final : public EventPoster {
  public:
    static constexpr double defaultDoubleClickInterval = 0.4;

    // Nothing when the compositor offers neither a virtual pointer nor a virtual keyboard.
    static std::shared_ptr<WlrEventPoster> create(std::shared_ptr<WaylandConnection> connection,
                                                  std::shared_ptr<WaylandPointer> pointer);
    ~WlrEventPoster() override;
    WlrEventPoster(const WlrEventPoster&) = delete;
    WlrEventPoster& operator=(const WlrEventPoster&) = delete;

    bool postMouse(const MouseEvent& event) override;
    bool postScroll(const ScrollEvent& event) override;
    bool postKey(const KeyEvent& event) override;
    bool postFlagsChanged(const FlagsChangedEvent& event) override;
    bool postUnicode(const UnicodeKeyEvent& event) override;
    void releaseTypingKeys() override;

    // Where the virtual pointer was put last: Wayland tells no client where the pointer is.
    std::optional<ScreenPoint> pointerLocation() override;
    double doubleClickInterval() override { return defaultDoubleClickInterval; }
    std::int16_t keyboardType() override { return 0; }
    LayoutFunction layoutFunction() override { return {}; }
    KeyboardLayoutKind physicalKeyboard() override;

    std::optional<std::string> selectASCIICapableInputMethod() override;
    void restoreInputMethod(const std::string& previous) override;
    void pause(double seconds) override;

    std::optional<std::string> frontmostApplication() override;
    void openOverview(OverviewDone done) override;
    bool spaceSwitchSupported() override;
    std::optional<SpaceInfo> spaceInfo() override;
    bool postSpaceSwitch(bool toRight) override;

  private:
    struct Devices;

    WlrEventPoster(std::shared_ptr<WaylandConnection> connection,
                   std::shared_ptr<WaylandPointer> pointer);
    // Runs `work` on the event thread with the devices; false when the compositor is gone.
    bool run(std::function<bool(Devices&)> work);

    std::shared_ptr<WaylandConnection> connection_;
    std::shared_ptr<WaylandPointer> pointer_;
    std::unique_ptr<Devices> devices_;  // event thread only
    std::unique_ptr<SwayWorkspaces> workspaces_;
    DBusInputMethods inputMethods_;
};

}  // namespace quelm
