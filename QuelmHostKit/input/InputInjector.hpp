#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "QuelmHostKit/input/InputBacklog.hpp"
#include "QuelmHostKit/input/InputHandling.hpp"
#include "QuelmHostKit/input/SpaceSwitcher.hpp"
#include "QuelmHostKit/platform/EventPoster.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

class DisplaySelection;

// Turns the companion's input messages into synthetic events of the host's window system: the
// pointer mapped onto the streamed display, buttons with click counting, pixel scrolling with
// remainders, keys with held modifiers and caps lock, texts in short Unicode chunks, workspace
// switches and the other system actions.
//
// What the desktop expects is decided here, above the poster, for every platform: command
// combinations become the Linux desktop's (DesktopShortcuts), a window switcher's modifier stays
// down between its tabs, caps lock is pressed only when the companion presses it (and pressed
// back on release when the companion left it changed), and pointer moves waiting behind a busy
// queue collapse into their newest position (InputBacklog) instead of being dropped.
//
// Thread: handle() and releaseAll() may be called from any thread and only enqueue; all state
// lives on `queue` (serial, "quelmix.input"), which is the only place the poster is driven from.
// The queue never waits on another queue. Ownership: created shared, kept by the application
// for the whole run; queued work holds it weakly.
class InputInjector final : public InputHandling,
                            public std::enable_shared_from_this<InputInjector> {
  public:
    // How long a window switcher opened by a command combination stays open after its last
    // tab, when no command key is held: long enough to tap the button again.
    static constexpr double switcherLinger = 1.0;

    static std::shared_ptr<InputInjector> create(std::shared_ptr<SerialQueue> queue,
                                                 std::shared_ptr<EventPoster> poster,
                                                 std::shared_ptr<const DisplaySelection> displays);

    void handle(const ClientMessage& message) override;
    void releaseAll() override;

    // The pointer as fractions (0 to 1) of the streamed display; none when the pointer or the
    // display's bounds are unknown. Any thread; uses no injector state.
    static std::optional<ScreenPoint> normalizedCursor(EventPoster& poster,
                                                       const DisplaySelection& displays);
    // The host keyboard's kind for the host hello. Any thread.
    static KeyboardLayoutKind physicalKeyboard(EventPoster& poster);

    // Classes (WM_CLASS) of the windows for which back and forward are posted, lower case.
    static const std::set<std::string, std::less<>>& navigationApps();
    static bool isNavigationApp(std::string_view windowClass);

    // Key codes of the companion's platform.
    static bool isArrowKey(std::uint16_t code);
    static bool isFnKey(std::uint16_t code);

  private:
    static constexpr std::uint16_t capsLockKey = 57;
    static constexpr std::uint16_t optionKey = 58;

    InputInjector(std::shared_ptr<SerialQueue> queue, std::shared_ptr<EventPoster> poster,
                  std::shared_ptr<const DisplaySelection> displays);

    void enqueue(const InputBacklog::Item& item);
    void drain();
    void process(const ClientMessage& message);
    void releaseEverything();

    // Pointer (InputInjector.cpp).
    // The flags of held modifier keys and caps lock, with an open switcher's modifier in place
    // of command: what the desktop is to hold.
    EventFlags heldFlags() const;
    // The same as the companion holds them.
    EventFlags companionHeldFlags() const;
    ScreenPoint pointerLocation();
    ScreenPoint clampedToShownDisplay(ScreenPoint point) const;
    void postMove(ScreenPoint to, ScreenPoint from);
    void button(std::int64_t button, bool down, EventFlags extra, bool fresh);
    void scroll(double dx, double dy);
    double uptime() const;

    // Keyboard and text (InputInjectorKeyboard.cpp).
    void key(std::uint16_t code, bool down, bool isRepeat, EventFlags extra);
    bool commandKeyHeld() const;
    void keepSwitcherOpen(EventFlags modifier);
    void closeSwitcher();
    void type(const std::string& text);
    void setLayout(std::optional<KeyboardLayoutKind> layout);

    // System actions (InputInjectorSystem.cpp).
    void perform(SystemAction action);
    void navigate(std::uint16_t arrow);

    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<EventPoster> poster_;
    std::shared_ptr<const DisplaySelection> displays_;
    InputBacklog backlog_;

    SpaceSwitcher spaces_;
    // The keyboard type key codes are read with; none for the host's own keyboard.
    std::optional<std::int16_t> keySourceType_;
    // Keys down, by the companion's code, with the code posted for it (a shortcut may post
    // another key), so that the release lets go of what was pressed.
    std::map<std::uint16_t, std::uint16_t> heldKeys_;
    std::set<std::uint16_t> heldModifierKeys_;
    // The companion's caps-lock presses, counted modulo 2: set while they have changed the
    // desktop's caps lock.
    bool capsLock_ = false;
    // The desktop modifier kept down for an open window switcher; 0 when none is open.
    EventFlags switcherFlags_ = 0;
    // Moves on with every open and close, so that a stale linger timer does nothing.
    std::uint64_t switcherToken_ = 0;
    // The last button pressed and still down: what moves drag with.
    std::optional<std::int64_t> buttonHeld_;
    // Every button down, so that a release of everything lets go of an earlier one too.
    std::set<std::int64_t> buttonsDown_;
    std::optional<ScreenPoint> lastPosted_;
    double lastPostedAt_ = -std::numeric_limits<double>::infinity();
    std::optional<std::int64_t> lastClickButton_;
    double lastClickAt_ = -std::numeric_limits<double>::infinity();
    ScreenPoint lastClickPoint_;
    std::int64_t clickCount_ = 1;
    double scrollRemainderX_ = 0;
    double scrollRemainderY_ = 0;
};

}  // namespace quelm
