#include "QuelmHostKit/linux/x11/X11EventPoster.hpp"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "QuelmHostKit/linux/input/CodePoints.hpp"
#include "QuelmHostKit/linux/x11/X11Connection.hpp"
#include "QuelmHostKit/linux/x11/X11ErrorTrap.hpp"
#include "QuelmHostKit/linux/x11/X11KeyCodes.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/queues/SerialQueue.hpp"

namespace quelm {

namespace {

// The X pointer button of a button number: left 0, right 1, center 2; others after the wheel's.
unsigned xButton(std::int64_t button) {
    switch (button) {
        case kLeftButton:
            return 1;
        case kRightButton:
            return 3;
        case kCenterButton:
            return 2;
        default:
            return static_cast<unsigned>(std::clamp<std::int64_t>(button, 3, 200) + 5);
    }
}

// The caps-lock key of the companion's platform.
constexpr std::uint16_t kCapsLockCode = 57;

bool isPress(MouseEventType type) {
    return type == MouseEventType::leftMouseDown || type == MouseEventType::rightMouseDown;
}

bool isRelease(MouseEventType type) {
    return type == MouseEventType::leftMouseUp || type == MouseEventType::rightMouseUp;
}

// The keysym that types a code point: Latin-1 keysyms are the code points themselves, the
// rest of Unicode is 0x1000000 above; none for control characters.
std::optional<KeySym> keysymOf(char32_t c) {
    if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) {
        return static_cast<KeySym>(c);
    }
    if (c < 0x100 || c > 0x10FFFF) {
        return std::nullopt;
    }
    return static_cast<KeySym>(0x1000000 + c);
}

std::optional<std::vector<std::uint8_t>> byteProperty(Display* display, Window window,
                                                      Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 65536, False, AnyPropertyType, &type,
                           &format, &count, &after, &data) != Success ||
        data == nullptr || format != 8) {
        if (data != nullptr) {
            XFree(data);
        }
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(data, data + count);
    XFree(data);
    return bytes;
}

}  // namespace

std::shared_ptr<X11EventPoster> X11EventPoster::connect(const std::string& displayName) {
    auto connection = X11Connection::open(displayName);
    if (!connection) {
        return nullptr;
    }
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(connection->display(), &event, &error, &major, &minor)) {
        return nullptr;
    }
    auto poster = std::shared_ptr<X11EventPoster>(new X11EventPoster(std::move(connection)));
    std::lock_guard lock(poster->mutex_);
    poster->findKeys();
    poster->findSpareKeys();
    poster->keyboardKind_ = poster->readKeyboardKind();
    poster->keyboardKindReadAt_ = monotonicSeconds();
    return poster;
}

X11EventPoster::X11EventPoster(std::unique_ptr<X11Connection> connection)
    : connection_(std::move(connection)), workspaces_(*connection_), keyboard_(*connection_) {
    lostRegistration_ =
        connection_->onLost([] { Log::info("X server lost: input injection stopped"); });
}

X11EventPoster::~X11EventPoster() {
    std::lock_guard lock(mutex_);
    releaseEverything();
    lostRegistration_.reset();
}

bool X11EventPoster::isLost() const {
    return connection_->isLost();
}

void X11EventPoster::findKeys() {
    X11ErrorTrap trap(*connection_);
    keyboard_.findModifierKeys();
    if (const X11Status status = trap.leave(); !status) {
        Log::info("keyboard mapping unreadable: " + status.describe());
    }
}

void X11EventPoster::findSpareKeys() {
    X11ErrorTrap trap(*connection_);
    // Spare key codes: no symbols, no modifier.
    const X11CoreKeymap map = X11CoreKeymap::read(*connection_);
    for (int code = map.maxCode; code >= map.minCode; --code) {
        bool empty = true;
        for (int column = 0; column < map.perCode; ++column) {
            empty = empty && map.at(code, column) == NoSymbol;
        }
        if (empty && !keyboard_.isModifierCode(code)) {
            spareKeys_.push_back({static_cast<std::uint8_t>(code)});
        }
    }
    if (const X11Status status = trap.leave(); !status) {
        Log::info("keyboard mapping unreadable: " + status.describe());
    }
    if (spareKeys_.empty()) {
        Log::info("no spare key code: only characters on the keyboard can be typed");
    }
}

bool X11EventPoster::capsLocked() {
    XkbStateRec state{};
    return XkbGetState(connection_->display(), XkbUseCoreKbd, &state) == Success &&
           (state.locked_mods & LockMask) != 0;
}

bool X11EventPoster::postMouse(const MouseEvent& event) {
    std::lock_guard lock(mutex_);
    if (connection_->isLost()) {
        return false;
    }
    Display* display = connection_->display();
    X11ErrorTrap trap(*connection_);
    keyboard_.syncModifiers(event.flags);
    XTestFakeMotionEvent(display, -1, static_cast<int>(std::lround(event.position.x)),
                         static_cast<int>(std::lround(event.position.y)), CurrentTime);
    const unsigned button = xButton(event.button);
    if (isPress(event.type)) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        buttonsDown_.insert(button);
    } else if (isRelease(event.type)) {
        XTestFakeButtonEvent(display, button, False, CurrentTime);
        buttonsDown_.erase(button);
        keyboard_.syncModifiers(heldFlags_);
    }
    return trap.leave().ok();
}

bool X11EventPoster::postScroll(const ScrollEvent& event) {
    std::lock_guard lock(mutex_);
    if (connection_->isLost()) {
        return false;
    }
    scrollY_ += event.vertical;
    scrollX_ += event.horizontal;
    const double clicksY = std::trunc(scrollY_ / pixelsPerWheelClick);
    const double clicksX = std::trunc(scrollX_ / pixelsPerWheelClick);
    scrollY_ -= clicksY * pixelsPerWheelClick;
    scrollX_ -= clicksX * pixelsPerWheelClick;
    if (clicksX == 0 && clicksY == 0) {
        return true;
    }
    Display* display = connection_->display();
    X11ErrorTrap trap(*connection_);
    keyboard_.syncModifiers(event.flags);
    auto clicks = [display](unsigned button, double count) {
        for (int i = 0; i < static_cast<int>(std::abs(count)); ++i) {
            XTestFakeButtonEvent(display, button, True, CurrentTime);
            XTestFakeButtonEvent(display, button, False, CurrentTime);
        }
    };
    // Up is button 4, down 5, left 6, right 7.
    clicks(clicksY > 0 ? 4 : 5, clicksY);
    clicks(clicksX > 0 ? 6 : 7, clicksX);
    return trap.leave().ok();
}

bool X11EventPoster::postKey(const KeyEvent& event) {
    const auto code = X11KeyCodes::xKeyCode(event.code);
    std::lock_guard lock(mutex_);
    if (!code || connection_->isLost()) {
        return false;
    }
    X11ErrorTrap trap(*connection_);
    keyboard_.syncModifiers(event.flags);
    if (event.down) {
        keyboard_.press(*code);
    } else {
        keyboard_.release(*code);
        keyboard_.syncModifiers(heldFlags_);
    }
    return trap.leave().ok();
}

bool X11EventPoster::postFlagsChanged(const FlagsChangedEvent& event) {
    std::lock_guard lock(mutex_);
    if (connection_->isLost()) {
        return false;
    }
    heldFlags_ = event.flags;
    X11ErrorTrap trap(*connection_);
    keyboard_.syncModifiers(event.flags);
    if (event.code == kCapsLockCode && keyboard_.capsLockKey() != 0) {
        keyboard_.tap(keyboard_.capsLockKey());
    }
    return trap.leave().ok();
}

bool X11EventPoster::postUnicode(const UnicodeKeyEvent& event) {
    std::unique_lock lock(mutex_);
    if (connection_->isLost()) {
        return false;
    }
    if (!event.down) {
        // The press typed the characters; the release has nothing left to do.
        return true;
    }
    // The text is typed as it is: a caps lock of the desktop's is lifted meanwhile, then put back.
    bool lifted = false;
    {
        X11ErrorTrap trap(*connection_);
        keyboard_.syncModifiers(0);
        if (keyboard_.capsLockKey() != 0 && capsLocked()) {
            keyboard_.tap(keyboard_.capsLockKey());
            lifted = true;
        }
        if (!trap.leave()) {
            return false;
        }
    }
    bool typed = true;
    for (char32_t c : codePoints(event.text)) {
        const auto keysym = keysymOf(c);
        if (keysym && !typeKeysym(*keysym, lock)) {
            typed = false;
            break;
        }
    }
    if (connection_->isLost()) {
        return false;
    }
    X11ErrorTrap trap(*connection_);
    keyboard_.setShift(false);
    if (lifted) {
        keyboard_.tap(keyboard_.capsLockKey());
    }
    return trap.leave().ok() && typed;
}

std::optional<X11EventPoster::KeyPlace> X11EventPoster::placeOf(unsigned long keysym) {
    Display* display = connection_->display();
    XkbStateRec state{};
    // The core mapping's first two columns are the first group's; another active group would
    // turn the same key into another character.
    if (XkbGetState(display, XkbUseCoreKbd, &state) != Success || state.group != 0) {
        return std::nullopt;
    }
    const X11CoreKeymap map = X11CoreKeymap::read(*connection_);
    const int levels = std::min(map.perCode, 2);
    for (int level = 0; level < levels; ++level) {
        for (int code = map.minCode; code <= map.maxCode; ++code) {
            if (map.at(code, level) == keysym && !keyboard_.isModifierCode(code)) {
                return KeyPlace{static_cast<std::uint8_t>(code), level == 1};
            }
        }
    }
    return std::nullopt;
}

bool X11EventPoster::typeKeysym(unsigned long keysym, std::unique_lock<std::mutex>& lock) {
    Display* display = connection_->display();
    {
        X11ErrorTrap trap(*connection_);
        const auto place = placeOf(keysym);
        if (place) {
            keyboard_.setShift(place->shifted);
            keyboard_.tap(place->code);
        }
        if (!trap.leave()) {
            return false;
        }
        if (place) {
            return true;
        }
    }
    if (spareKeys_.empty()) {
        return false;
    }
    SpareKey& key = spareKeys_[nextSpare_];
    nextSpare_ = (nextSpare_ + 1) % spareKeys_.size();
    // A client may still have to look this code up for an earlier character.
    const double wait = key.usedAt + spareKeyMinimumAge - monotonicSeconds();
    if (wait > 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
        lock.lock();
        if (connection_->isLost()) {
            return false;
        }
    }
    X11ErrorTrap trap(*connection_);
    keyboard_.setShift(false);
    KeySym syms[2] = {keysym, keysym};
    XChangeKeyboardMapping(display, key.code, 2, syms, 1);
    XTestFakeKeyEvent(display, key.code, True, CurrentTime);
    XTestFakeKeyEvent(display, key.code, False, CurrentTime);
    key.mapped = true;
    key.usedAt = monotonicSeconds();
    return trap.leave().ok();
}

void X11EventPoster::releaseTypingKeys() {
    std::lock_guard lock(mutex_);
    if (connection_->isLost()) {
        return;
    }
    scrollX_ = 0;
    scrollY_ = 0;
    X11ErrorTrap trap(*connection_);
    restoreSpareKeys();
    trap.leave();
}

void X11EventPoster::restoreSpareKeys() {
    for (SpareKey& key : spareKeys_) {
        if (key.mapped) {
            KeySym none = NoSymbol;
            XChangeKeyboardMapping(connection_->display(), key.code, 1, &none, 1);
            key.mapped = false;
        }
    }
}

void X11EventPoster::releaseEverything() {
    if (connection_->isLost()) {
        return;
    }
    Display* display = connection_->display();
    X11ErrorTrap trap(*connection_);
    keyboard_.releaseAll();
    for (unsigned button : buttonsDown_) {
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
    buttonsDown_.clear();
    heldFlags_ = 0;
    scrollX_ = 0;
    scrollY_ = 0;
    restoreSpareKeys();
    trap.leave();
}

std::optional<ScreenPoint> X11EventPoster::pointerLocation() {
    std::lock_guard lock(mutex_);
    if (connection_->isLost()) {
        return std::nullopt;
    }
    Display* display = connection_->display();
    X11ErrorTrap trap(*connection_);
    Window root = None;
    Window child = None;
    int rootX = 0;
    int rootY = 0;
    int x = 0;
    int y = 0;
    unsigned mask = 0;
    const Bool found = XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX,
                                     &rootY, &x, &y, &mask);
    if (!trap.leave() || !found) {
        return std::nullopt;
    }
    return ScreenPoint{static_cast<double>(rootX), static_cast<double>(rootY)};
}

double X11EventPoster::doubleClickInterval() {
    std::lock_guard lock(mutex_);
    const double now = monotonicSeconds();
    // The desktop's setting changes rarely; reading it costs round trips.
    if (now - clickIntervalReadAt_ >= 10.0) {
        clickInterval_ = readDoubleClickInterval().value_or(defaultDoubleClickInterval);
        clickIntervalReadAt_ = now;
    }
    return clickInterval_;
}

std::optional<double> X11EventPoster::readDoubleClickInterval() {
    if (connection_->isLost()) {
        return std::nullopt;
    }
    // GTK's "gtk-double-click-time" comes from the XSETTINGS manager's Net/DoubleClickTime.
    Display* display = connection_->display();
    X11ErrorTrap trap(*connection_);
    const std::string selection = "_XSETTINGS_S" + std::to_string(DefaultScreen(display));
    const Window owner =
        XGetSelectionOwner(display, XInternAtom(display, selection.c_str(), False));
    std::optional<std::vector<std::uint8_t>> settings;
    if (owner != None) {
        settings = byteProperty(display, owner, XInternAtom(display, "_XSETTINGS_SETTINGS", False));
    }
    if (!trap.leave() || !settings) {
        return std::nullopt;
    }
    const auto ms = doubleClickTime(*settings);
    if (!ms || *ms <= 0) {
        return std::nullopt;
    }
    return *ms / 1000.0;
}

std::optional<int> X11EventPoster::doubleClickTime(const std::vector<std::uint8_t>& settings) {
    // Byte order, 3 pad, serial, count; then per setting: type, pad, name length (16 bits),
    // name padded to 4, serial, value (integer 4; string: length and bytes padded to 4; colour 8).
    if (settings.size() < 12) {
        return std::nullopt;
    }
    const bool bigEndian = settings[0] != 0;
    std::size_t at = 0;
    auto read = [&](std::size_t size) -> std::optional<std::uint32_t> {
        if (at + size > settings.size()) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const std::size_t index = bigEndian ? at + i : at + size - 1 - i;
            value = (value << 8) | settings[index];
        }
        at += size;
        return value;
    };
    auto padded = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
    at = 8;
    const auto count = read(4);
    if (!count) {
        return std::nullopt;
    }
    for (std::uint32_t i = 0; i < *count; ++i) {
        if (at + 4 > settings.size()) {
            return std::nullopt;
        }
        const std::uint8_t type = settings[at];
        at += 2;
        const auto nameLength = read(2);
        if (!nameLength || at + padded(*nameLength) + 4 > settings.size()) {
            return std::nullopt;
        }
        const std::string name(settings.begin() + static_cast<long>(at),
                               settings.begin() + static_cast<long>(at + *nameLength));
        at += padded(*nameLength) + 4;  // name and its serial
        if (type == 0) {
            const auto value = read(4);
            if (!value) {
                return std::nullopt;
            }
            if (name == "Net/DoubleClickTime") {
                return static_cast<std::int32_t>(*value);
            }
        } else if (type == 1) {
            const auto length = read(4);
            if (!length || at + padded(*length) > settings.size()) {
                return std::nullopt;
            }
            at += padded(*length);
        } else if (type == 2) {
            at += 8;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

KeyboardLayoutKind X11EventPoster::keyboardKind(const std::string& model,
                                                const std::string& layouts) {
    const std::string first = layouts.substr(0, layouts.find(','));
    const bool japaneseModel = model.rfind("jp", 0) == 0 || model.find("jis") != std::string::npos;
    return first == "jp" || japaneseModel ? KeyboardLayoutKind::jis : KeyboardLayoutKind::us;
}

std::int16_t X11EventPoster::keyboardType() {
    // Asked on the input queue at every activation: a good moment to notice a new layout.
    std::lock_guard lock(mutex_);
    const double now = monotonicSeconds();
    if (now - keyboardKindReadAt_ >= 10.0) {
        keyboardKind_ = readKeyboardKind();
        keyboardKindReadAt_ = now;
    }
    if (!connection_->isLost()) {
        findKeys();
    }
    return 0;
}

KeyboardLayoutKind X11EventPoster::physicalKeyboard() {
    return keyboardKind_.load();
}

KeyboardLayoutKind X11EventPoster::readKeyboardKind() {
    if (connection_->isLost()) {
        return KeyboardLayoutKind::us;
    }
    Display* display = connection_->display();
    X11ErrorTrap trap(*connection_);
    const auto names = byteProperty(display, DefaultRootWindow(display),
                                    XInternAtom(display, "_XKB_RULES_NAMES", False));
    if (!trap.leave() || !names) {
        return KeyboardLayoutKind::us;
    }
    // rules, model, layout, variant, options: NUL-separated.
    std::vector<std::string> fields(1);
    for (std::uint8_t byte : *names) {
        if (byte == 0) {
            fields.emplace_back();
        } else {
            fields.back().push_back(static_cast<char>(byte));
        }
    }
    fields.resize(std::max<std::size_t>(fields.size(), 3));
    return keyboardKind(fields[1], fields[2]);
}

std::optional<std::string> X11EventPoster::selectASCIICapableInputMethod() {
    return inputMethods_.selectASCIICapable();
}

void X11EventPoster::restoreInputMethod(const std::string& previous) {
    inputMethods_.restore(previous);
}

void X11EventPoster::pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::optional<std::string> X11EventPoster::frontmostApplication() {
    std::lock_guard lock(mutex_);
    return workspaces_.activeWindowClass();
}

void X11EventPoster::openOverview(OverviewDone done) {
    overview_.openOr(
        [weak = weak_from_this()]() -> std::optional<std::string> {
            const auto self = weak.lock();
            return self ? self->tapSuper() : "the input service is gone";
        },
        std::move(done));
}

std::optional<std::string> X11EventPoster::tapSuper() {
    // Other desktops open their overview, or their menu, with a tap of the Super key.
    std::lock_guard lock(mutex_);
    if (connection_->isLost()) {
        return "the X server is gone";
    }
    if (keyboard_.superKey() == 0) {
        return "no desktop shell and no Super key";
    }
    X11ErrorTrap trap(*connection_);
    keyboard_.syncModifiers(0);
    keyboard_.tap(keyboard_.superKey());
    keyboard_.syncModifiers(heldFlags_);
    if (const X11Status status = trap.leave(); !status) {
        return status.describe();
    }
    return std::nullopt;
}

bool X11EventPoster::spaceSwitchSupported() {
    std::lock_guard lock(mutex_);
    return workspaces_.supported();
}

std::optional<SpaceInfo> X11EventPoster::spaceInfo() {
    std::lock_guard lock(mutex_);
    return workspaces_.info();
}

bool X11EventPoster::postSpaceSwitch(bool toRight) {
    std::lock_guard lock(mutex_);
    return workspaces_.switchBeside(toRight, monotonicSeconds());
}

}  // namespace quelm
