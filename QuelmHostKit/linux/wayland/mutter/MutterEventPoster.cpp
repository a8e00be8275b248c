#include "QuelmHostKit/linux/wayland/mutter/MutterEventPoster.hpp"

#include <gio/gio.h>

#include <chrono>
#include <thread>

#include "QuelmHostKit/linux/input/CodePoints.hpp"
#include "QuelmHostKit/linux/wayland/WaylandPointer.hpp"
#include "QuelmHostKit/linux/x11/X11KeyCodes.hpp"

namespace quelm {

namespace {

// linux/input-event-codes.h
constexpr std::uint16_t kLeftShift = 42;
constexpr std::uint16_t kLeftControl = 29;
constexpr std::uint16_t kLeftMeta = 125;
constexpr std::uint16_t kPageUp = 104;
constexpr std::uint16_t kPageDown = 109;
constexpr std::uint16_t kSpace = 57;
constexpr std::uint16_t kCapsLock = 58;
constexpr std::uint16_t kU = 22;
constexpr std::uint32_t kButtonLeft = 0x110;
constexpr std::uint32_t kButtonRight = 0x111;
constexpr std::uint32_t kButtonMiddle = 0x112;
// Mutter's axis flags: a smooth source, as a touchpad's.
constexpr std::uint32_t kAxisSourceFinger = 1 << 2;

// The evdev keys of the hex digits 0-9 and a-f.
constexpr std::uint16_t kHexKeys[16] = {11, 2, 3, 4, 5, 6, 7, 8, 9, 10, 30, 48, 46, 32, 18, 33};

bool isDown(MouseEventType type) {
    return type == MouseEventType::leftMouseDown || type == MouseEventType::rightMouseDown;
}

bool isUp(MouseEventType type) {
    return type == MouseEventType::leftMouseUp || type == MouseEventType::rightMouseUp;
}

std::uint32_t evdevButton(std::int64_t button) {
    switch (button) {
        case kRightButton:
            return kButtonRight;
        case kCenterButton:
            return kButtonMiddle;
        default:
            return kButtonLeft;
    }
}

}  // namespace

MutterEventPoster::MutterEventPoster(std::shared_ptr<MutterDesktop> desktop,
                                     std::shared_ptr<WaylandPointer> pointer)
    : desktop_(std::move(desktop)),
      pointer_(std::move(pointer)),
      keyboard_([this](std::uint32_t evdev, bool down) {
          return key(static_cast<std::uint16_t>(evdev), down);
      }) {}

std::optional<std::uint32_t> MutterEventPoster::plainKeysym(char32_t character) {
    if (character >= 0x20 && character <= 0x7E) {
        return static_cast<std::uint32_t>(character);
    }
    if (character == U'\n' || character == U'\r') {
        return 0xFF0D;  // Return
    }
    if (character == U'\t') {
        return 0xFF09;  // Tab
    }
    return std::nullopt;
}

std::string MutterEventPoster::unicodeEntryHex(char32_t character) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (int shift = 20; shift >= 0; shift -= 4) {
        const auto digit = (character >> shift) & 0xF;
        if (digit != 0 || !hex.empty() || shift == 0) {
            hex.push_back(digits[digit]);
        }
    }
    return hex;
}

bool MutterEventPoster::key(std::uint16_t evdev, bool down) {
    return desktop_->notify("NotifyKeyboardKeycode",
                            g_variant_new("(ub)", static_cast<guint32>(evdev), down));
}

bool MutterEventPoster::movePointer(const ScreenPoint& point) {
    const auto monitors = desktop_->monitors();
    const MutterDesktop::Monitor* target = nullptr;
    for (const auto& monitor : monitors) {
        const auto& b = monitor.monitor.bounds;
        if (monitor.streamPath.empty()) {
            continue;
        }
        if (point.x >= b.x && point.y >= b.y && point.x < b.x + b.width &&
            point.y < b.y + b.height) {
            target = &monitor;
            break;
        }
        if (!target || monitor.monitor.isPrimary) {
            target = &monitor;
        }
    }
    if (!target) {
        return false;
    }
    const auto& b = target->monitor.bounds;
    // Off every monitor: the nearest point of the chosen one.
    const double x = std::clamp(point.x - b.x, 0.0, std::max(b.width - 1, 0.0));
    const double y = std::clamp(point.y - b.y, 0.0, std::max(b.height - 1, 0.0));
    if (!desktop_->notify("NotifyPointerMotionAbsolute",
                          g_variant_new("(sdd)", target->streamPath.c_str(), x, y))) {
        return false;
    }
    pointer_->set(PointerPosition{x + b.x, y + b.y});
    return true;
}

bool MutterEventPoster::postMouse(const MouseEvent& event) {
    std::lock_guard lock(mutex_);
    if (!movePointer(event.position)) {
        return false;
    }
    if (!isDown(event.type) && !isUp(event.type)) {
        return true;
    }
    keyboard_.syncModifiers(event.flags);
    const std::uint32_t button = evdevButton(event.button);
    const bool down = isDown(event.type);
    if (!desktop_->notify("NotifyPointerButton",
                          g_variant_new("(ib)", static_cast<gint32>(button), down))) {
        return false;
    }
    if (down) {
        buttonsDown_.insert(button);
    } else {
        buttonsDown_.erase(button);
        keyboard_.restoreModifiers();
    }
    return true;
}

bool MutterEventPoster::postScroll(const ScrollEvent& event) {
    std::lock_guard lock(mutex_);
    // Positive values scroll up and left here; mutter's axes grow downwards and rightwards.
    return desktop_->notify("NotifyPointerAxis",
                            g_variant_new("(ddu)", -double(event.horizontal),
                                          -double(event.vertical), kAxisSourceFinger));
}

bool MutterEventPoster::postKey(const KeyEvent& event) {
    const auto evdev = X11KeyCodes::evdevCode(event.code);
    if (!evdev) {
        return false;
    }
    std::lock_guard lock(mutex_);
    return keyboard_.key(*evdev, event.down, event.flags);
}

bool MutterEventPoster::postFlagsChanged(const FlagsChangedEvent& event) {
    std::lock_guard lock(mutex_);
    return keyboard_.flagsChanged(event.code, event.flags);
}

bool MutterEventPoster::tapKeysym(std::uint32_t keysym) {
    return desktop_->notify("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, TRUE)) &&
           desktop_->notify("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, FALSE));
}

bool MutterEventPoster::typeByEntry(char32_t character) {
    bool ok = key(kLeftControl, true) && key(kLeftShift, true) && key(kU, true) && key(kU, false);
    ok = key(kLeftShift, false) && key(kLeftControl, false) && ok;
    for (char digit : unicodeEntryHex(character)) {
        const int value = digit <= '9' ? digit - '0' : digit - 'a' + 10;
        ok = ok && key(kHexKeys[value], true) && key(kHexKeys[value], false);
    }
    return ok && key(kSpace, true) && key(kSpace, false);
}

bool MutterEventPoster::postUnicode(const UnicodeKeyEvent& event) {
    std::lock_guard lock(mutex_);
    if (!desktop_->active()) {
        return false;
    }
    if (!event.down) {
        // The press typed the characters; the release has nothing left to do.
        return true;
    }
    keyboard_.syncModifiers(0);
    // Text is typed as it is: mutter types keysyms through the keyboard's state, where a caps
    // lock would turn the case of letters, so one the companion turned on is lifted meanwhile.
    const bool lifted = keyboard_.capsLocked() && key(kCapsLock, true) && key(kCapsLock, false);
    bool ok = true;
    for (char32_t c : codePoints(event.text)) {
        if (const auto keysym = plainKeysym(c)) {
            ok = tapKeysym(*keysym) && ok;
        } else if (c > 0x20 && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
            ok = typeByEntry(c) && ok;
        }
    }
    if (lifted) {
        ok = key(kCapsLock, true) && key(kCapsLock, false) && ok;
    }
    keyboard_.restoreModifiers();
    return ok;
}

void MutterEventPoster::releaseEverything() {
    for (std::uint32_t button : std::set<std::uint32_t>(buttonsDown_)) {
        desktop_->notify("NotifyPointerButton",
                         g_variant_new("(ib)", static_cast<gint32>(button), FALSE));
    }
    buttonsDown_.clear();
    keyboard_.releaseAll();
}

void MutterEventPoster::releaseTypingKeys() {
    std::lock_guard lock(mutex_);
    releaseEverything();
}

std::optional<ScreenPoint> MutterEventPoster::pointerLocation() {
    const auto position = pointer_->pointerPosition();
    if (!position) {
        return std::nullopt;
    }
    return ScreenPoint{position->x, position->y};
}

std::optional<std::string> MutterEventPoster::selectASCIICapableInputMethod() {
    return inputMethods_.selectASCIICapable();
}

void MutterEventPoster::restoreInputMethod(const std::string& previous) {
    inputMethods_.restore(previous);
}

void MutterEventPoster::pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void MutterEventPoster::openOverview(OverviewDone done) {
    overview_.openOr(
        [weak = weak_from_this()]() -> std::optional<std::string> {
            const auto self = weak.lock();
            return self ? self->tapSuper() : "the input service is gone";
        },
        std::move(done));
}

std::optional<std::string> MutterEventPoster::tapSuper() {
    // Bare mutter opens nothing; a shell on top opens its overview with a tap of Super.
    std::lock_guard lock(mutex_);
    keyboard_.syncModifiers(0);
    const bool ok = key(kLeftMeta, true) && key(kLeftMeta, false);
    keyboard_.restoreModifiers();
    return ok ? std::nullopt
              : std::optional<std::string>("mutter's remote desktop session is gone");
}

bool MutterEventPoster::spaceSwitchSupported() {
    return desktop_->active();
}

std::optional<SpaceInfo> MutterEventPoster::spaceInfo() {
    return SpaceInfo{1U << 15, 1U << 16};
}

bool MutterEventPoster::postSpaceSwitch(bool toRight) {
    std::lock_guard lock(mutex_);
    keyboard_.syncModifiers(0);
    const std::uint16_t page = toRight ? kPageDown : kPageUp;
    bool ok = key(kLeftMeta, true) && key(page, true) && key(page, false);
    ok = key(kLeftMeta, false) && ok;
    keyboard_.restoreModifiers();
    return ok;
}

}  // namespace quelm
