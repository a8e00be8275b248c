#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "QuelmCore/InputValues.hpp"

namespace quelm {

// Modifier flags of an event, in the companion's platform values (the wire's key codes and
// modifiers come from that platform too).
using EventFlags = std::uint64_t;

namespace EventFlag {
inline constexpr EventFlags maskAlphaShift = 0x10000;  // caps lock on
inline constexpr EventFlags maskShift = 0x20000;
inline constexpr EventFlags maskControl = 0x40000;
inline constexpr EventFlags maskAlternate = 0x80000;  // option
inline constexpr EventFlags maskCommand = 0x100000;
inline constexpr EventFlags maskNumericPad = 0x200000;
inline constexpr EventFlags maskSecondaryFn = 0x800000;
}  // namespace EventFlag

// A point in the global display space: root-window coordinates, y growing downwards.
struct ScreenPoint {
    double x = 0;
    double y = 0;

    friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

enum class MouseEventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    otherMouseDragged = 27,
};

// Mouse buttons by number: left 0, right 1, center 2.
inline constexpr std::int64_t kLeftButton = 0;
inline constexpr std::int64_t kRightButton = 1;
inline constexpr std::int64_t kCenterButton = 2;

struct MouseEvent {
    MouseEventType type = MouseEventType::mouseMoved;
    ScreenPoint position;
    std::int64_t button = kLeftButton;
    // The click count of a press or release, 1 to 3; 0 on moves.
    std::int64_t clickState = 0;
    std::int64_t deltaX = 0;
    std::int64_t deltaY = 0;
    EventFlags flags = 0;

    friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

// Pixel scrolling. Positive vertical scrolls up (content moves down), positive horizontal
// scrolls left.
struct ScrollEvent {
    std::int32_t vertical = 0;
    std::int32_t horizontal = 0;
    EventFlags flags = 0;

    friend bool operator==(const ScrollEvent&, const ScrollEvent&) = default;
};

// A key of the companion's platform by virtual key code (below 128). Its flags never hold
// command: the injector has already turned command combinations into the desktop's.
//
// A press holds the key until its release: the desktop must not repeat it by itself. A press
// of a key that is already down (`autorepeat`, or not) reaches applications as exactly one more
// keystroke.
struct KeyEvent {
    std::uint16_t code = 0;
    bool down = false;
    bool autorepeat = false;
    EventFlags flags = 0;
    // The keyboard type the code is read with; none for the host's own.
    std::optional<std::int16_t> keyboardType;

    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// A modifier key changed: `flags` are all modifiers held from now on, their device bits telling
// left keys from right ones (right option is the layout's AltGr where it has one; command
// counts as Control). The caps-lock key (57) is different: each event of it is one press of
// caps lock, which flips the desktop's caps lock; nothing else touches that state.
struct FlagsChangedEvent {
    std::uint16_t code = 0;
    EventFlags flags = 0;
    std::optional<std::int16_t> keyboardType;

    friend bool operator==(const FlagsChangedEvent&, const FlagsChangedEvent&) = default;
};

// A key event that types these characters (UTF-16) instead of a key's, with no modifiers and
// whatever the caps lock.
struct UnicodeKeyEvent {
    std::u16string text;
    bool down = false;

    friend bool operator==(const UnicodeKeyEvent&, const UnicodeKeyEvent&) = default;
};

// The workspaces of the display under the pointer.
struct SpaceInfo {
    std::uint32_t index = 0;
    std::uint32_t count = 0;

    friend bool operator==(const SpaceInfo&, const SpaceInfo&) = default;
};

// The platform's input services, as the input injector uses them: synthetic pointer, scroll,
// key and text events, the pointer, keyboard facts, the input method, the frontmost
// application, the overview and workspaces.
//
// A post returns false when the event could not be made or sent (nothing reached the
// platform). Implementations are thread-safe; the injector calls them from its own queue, and
// the pointer and keyboard questions come from other queues too.
class EventPoster {
  public:
    // The layout code ("ANSI", "ISO ", "JIS " as four-character codes) of a keyboard type.
    using LayoutFunction = std::function<std::uint32_t(std::int16_t)>;

    virtual ~EventPoster() = default;

    virtual bool postMouse(const MouseEvent& event) = 0;
    virtual bool postScroll(const ScrollEvent& event) = 0;
    virtual bool postKey(const KeyEvent& event) = 0;
    virtual bool postFlagsChanged(const FlagsChangedEvent& event) = 0;
    virtual bool postUnicode(const UnicodeKeyEvent& event) = 0;
    // The companion is gone: gives back whatever typing borrowed from the keyboard and drops
    // the part of a scroll not yet posted.
    virtual void releaseTypingKeys() = 0;

    // Where the pointer is now; none when the platform cannot say.
    virtual std::optional<ScreenPoint> pointerLocation() = 0;
    // The user's double-click interval in seconds.
    virtual double doubleClickInterval() = 0;

    // The keyboard type of the host's own keyboard (0 to 255).
    virtual std::int16_t keyboardType() = 0;
    // Empty when the platform has no layout function.
    virtual LayoutFunction layoutFunction() = 0;
    // The kind of the host's own keyboard, for the host hello.
    virtual KeyboardLayoutKind physicalKeyboard() = 0;

    // Switches to an ASCII-capable input method when the active one is not. Returns what to
    // hand to restoreInputMethod afterwards; none when nothing was switched.
    virtual std::optional<std::string> selectASCIICapableInputMethod() = 0;
    virtual void restoreInputMethod(const std::string& previous) = 0;
    // Waits between two steps of posting, for the platform to settle.
    virtual void pause(double seconds) = 0;

    // The identifier of the frontmost application (on X11 the class of the active window's
    // WM_CLASS); none when there is none.
    virtual std::optional<std::string> frontmostApplication() = 0;
    // Called once with the failure's description, or none when the overview opened.
    using OverviewDone = std::function<void(std::optional<std::string> failure)>;
    // Opens the overview of windows and workspaces. Returns at once, without waiting for the
    // desktop (a hung shell must not hold up input); `done` runs later, on any thread.
    virtual void openOverview(OverviewDone done) = 0;

    // Whether this desktop can switch workspaces at all.
    virtual bool spaceSwitchSupported() = 0;
    virtual std::optional<SpaceInfo> spaceInfo() = 0;
    // One switch to the workspace on the right or on the left; true when posted.
    virtual bool postSpaceSwitch(bool toRight) = 0;
};

}  // namespace quelm
