#include "QuelmHostKit/input/InputInjector.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <variant>

#include "QuelmHostKit/input/DesktopShortcuts.hpp"
#include "QuelmHostKit/log/Log.hpp"
#include "QuelmHostKit/streaming/DisplaySelection.hpp"

namespace quelm {

namespace {

EventFlags flagsOf(Modifiers modifiers) {
    EventFlags flags = 0;
    if (modifiers.contains(Modifiers::shift)) {
        flags |= EventFlag::maskShift;
    }
    if (modifiers.contains(Modifiers::control)) {
        flags |= EventFlag::maskControl;
    }
    if (modifiers.contains(Modifiers::option)) {
        flags |= EventFlag::maskAlternate;
    }
    if (modifiers.contains(Modifiers::command)) {
        flags |= EventFlag::maskCommand;
    }
    return flags;
}

// Flags a held modifier key contributes, by key code 54 to 63: the device-independent flag with
// the bit that tells the left key from the right one.
EventFlags modifierKeyFlags(std::uint16_t code) {
    switch (code) {
        case 54:
            return 0x100010;  // right command
        case 55:
            return 0x100008;  // command
        case 56:
            return 0x20002;  // shift
        case 58:
            return 0x80020;  // option
        case 59:
            return 0x40001;  // control
        case 60:
            return 0x20004;  // right shift
        case 61:
            return 0x80040;  // right option
        case 62:
            return 0x42000;  // right control
        case 63:
            return 0x800000;  // fn
        default:
            return 0;  // caps lock and anything else
    }
}

std::int64_t roundedDelta(double value) {
    return static_cast<std::int64_t>(std::round(value));  // halves away from zero
}

}  // namespace

std::shared_ptr<InputInjector> InputInjector::create(
    std::shared_ptr<SerialQueue> queue, std::shared_ptr<EventPoster> poster,
    std::shared_ptr<const DisplaySelection> displays) {
    return std::shared_ptr<InputInjector>(
        new InputInjector(std::move(queue), std::move(poster), std::move(displays)));
}

InputInjector::InputInjector(std::shared_ptr<SerialQueue> queue,
                             std::shared_ptr<EventPoster> poster,
                             std::shared_ptr<const DisplaySelection> displays)
    : queue_(std::move(queue)), poster_(std::move(poster)), displays_(std::move(displays)) {}

void InputInjector::handle(const ClientMessage& message) {
    enqueue(message);
}

void InputInjector::releaseAll() {
    // Through the backlog, so that it is acted on after the messages that came before it and
    // before those of the next companion.
    enqueue(InputBacklog::Release{});
}

void InputInjector::enqueue(const InputBacklog::Item& item) {
    if (backlog_.push(item)) {
        queue_->async(weakCallback(shared_from_this(), [](InputInjector& self) { self.drain(); }));
    }
}

void InputInjector::drain() {
    for (auto items = backlog_.take(); !items.empty(); items = backlog_.take()) {
        for (const auto& item : items) {
            if (const auto* message = std::get_if<ClientMessage>(&item)) {
                process(*message);
            } else {
                releaseEverything();
            }
        }
    }
}

void InputInjector::process(const ClientMessage& message) {
    // A window switcher stays open through moves, scrolls and its own keys only.
    const bool keepsSwitcher = std::holds_alternative<ClientMessage::Move>(message) ||
                               std::holds_alternative<ClientMessage::MoveTo>(message) ||
                               std::holds_alternative<ClientMessage::Scroll>(message) ||
                               std::holds_alternative<ClientMessage::Key>(message);
    if (!keepsSwitcher) {
        closeSwitcher();
    }
    if (const auto* move = std::get_if<ClientMessage::Move>(&message)) {
        const ScreenPoint from = pointerLocation();
        const ScreenPoint target = clampedToShownDisplay({from.x + move->dx, from.y + move->dy});
        postMove(target, from);
    } else if (const auto* moveTo = std::get_if<ClientMessage::MoveTo>(&message)) {
        const DisplayRect bounds = displays_->bounds().value_or(DisplayRect{});
        const ScreenPoint target = clampedToShownDisplay(
            {bounds.x + bounds.width * moveTo->x, bounds.y + bounds.height * moveTo->y});
        postMove(target, pointerLocation());
    } else if (const auto* press = std::get_if<ClientMessage::Button>(&message)) {
        button(press->right ? kRightButton : kLeftButton, press->down, flagsOf(press->modifiers),
               false);
    } else if (const auto* drag = std::get_if<ClientMessage::DragButton>(&message)) {
        button(kLeftButton, drag->down, flagsOf(drag->modifiers), true);
    } else if (const auto* wheel = std::get_if<ClientMessage::Scroll>(&message)) {
        scroll(wheel->dx, wheel->dy);
    } else if (const auto* key = std::get_if<ClientMessage::Key>(&message)) {
        this->key(key->code, key->down, key->isRepeat, flagsOf(key->modifiers));
    } else if (const auto* text = std::get_if<ClientMessage::Text>(&message)) {
        type(text->text);
    } else if (const auto* layout = std::get_if<ClientMessage::SetLayout>(&message)) {
        setLayout(layout->layout);
    } else if (const auto* system = std::get_if<ClientMessage::System>(&message)) {
        perform(system->action);
    }
}

double InputInjector::uptime() const {
    return queue_->now();
}

EventFlags InputInjector::companionHeldFlags() const {
    EventFlags flags = capsLock_ ? EventFlag::maskAlphaShift : 0;
    for (std::uint16_t code : heldModifierKeys_) {
        flags |= modifierKeyFlags(code);
    }
    return flags;
}

EventFlags InputInjector::heldFlags() const {
    const EventFlags flags = companionHeldFlags();
    if (switcherFlags_ == 0) {
        return flags;
    }
    return (flags & ~DesktopShortcuts::commandBits) | switcherFlags_;
}

ScreenPoint InputInjector::pointerLocation() {
    if (lastPosted_ && uptime() - lastPostedAt_ < 0.2) {
        return *lastPosted_;
    }
    if (auto location = poster_->pointerLocation()) {
        return *location;
    }
    return lastPosted_.value_or(ScreenPoint{});
}

ScreenPoint InputInjector::clampedToShownDisplay(ScreenPoint point) const {
    const DisplayRect bounds = displays_->bounds().value_or(DisplayRect{});
    if (!(bounds.width > 0) || !(bounds.height > 0)) {
        return point;
    }
    point.x = std::min(std::max(point.x, bounds.x), bounds.x + bounds.width - 1);
    point.y = std::min(std::max(point.y, bounds.y), bounds.y + bounds.height - 1);
    return point;
}

void InputInjector::postMove(ScreenPoint to, ScreenPoint from) {
    MouseEvent event;
    event.type = MouseEventType::mouseMoved;
    event.button = kLeftButton;
    if (buttonHeld_) {
        event.button = *buttonHeld_;
        switch (*buttonHeld_) {
            case kLeftButton:
                event.type = MouseEventType::leftMouseDragged;
                break;
            case kRightButton:
                event.type = MouseEventType::rightMouseDragged;
                break;
            case kCenterButton:
                event.type = MouseEventType::otherMouseDragged;
                break;
            default:
                break;
        }
    }
    event.position = to;
    event.deltaX = roundedDelta(to.x - from.x);
    event.deltaY = roundedDelta(to.y - from.y);
    event.flags = heldFlags();
    if (!poster_->postMouse(event)) {
        return;
    }
    lastPosted_ = to;
    lastPostedAt_ = uptime();
}

void InputInjector::button(std::int64_t button, bool down, EventFlags extra, bool fresh) {
    const ScreenPoint location = pointerLocation();
    const double now = uptime();
    MouseEvent event;
    if (down) {
        const bool continues =
            !fresh && lastClickButton_ == button &&
            std::hypot(location.x - lastClickPoint_.x, location.y - lastClickPoint_.y) <= 5 &&
            now - lastClickAt_ <= poster_->doubleClickInterval();
        clickCount_ = continues ? std::min<std::int64_t>(clickCount_ + 1, 3) : 1;
        lastClickButton_ = button;
        lastClickAt_ = now;
        lastClickPoint_ = location;
        buttonHeld_ = button;
        buttonsDown_.insert(button);
        event.type =
            button == kRightButton ? MouseEventType::rightMouseDown : MouseEventType::leftMouseDown;
    } else {
        if (buttonHeld_ == button) {
            buttonHeld_.reset();
        }
        buttonsDown_.erase(button);
        event.type =
            button == kRightButton ? MouseEventType::rightMouseUp : MouseEventType::leftMouseUp;
    }
    event.position = location;
    event.button = button;
    event.clickState = clickCount_;
    event.flags = extra | heldFlags();
    if (!poster_->postMouse(event)) {
        return;
    }
    lastPosted_ = location;
    lastPostedAt_ = now;
}

void InputInjector::scroll(double dx, double dy) {
    scrollRemainderX_ += dx;
    scrollRemainderY_ += dy;
    const double wx = std::trunc(scrollRemainderX_);
    const double wy = std::trunc(scrollRemainderY_);
    scrollRemainderX_ -= wx;
    scrollRemainderY_ -= wy;
    if (wx == 0 && wy == 0) {
        return;
    }
    ScrollEvent event;
    event.vertical = static_cast<std::int32_t>(wy);
    event.horizontal = static_cast<std::int32_t>(wx);
    event.flags = heldFlags();
    poster_->postScroll(event);
}

void InputInjector::releaseEverything() {
    closeSwitcher();
    for (const auto& [pressed, code] : heldKeys_) {
        KeyEvent event;
        event.code = code;
        event.down = false;
        event.flags = isArrowKey(code) ? (EventFlag::maskNumericPad | EventFlag::maskSecondaryFn)
                      : isFnKey(code)  ? EventFlag::maskSecondaryFn
                                       : 0;
        event.keyboardType = keySourceType_;
        poster_->postKey(event);
    }
    heldKeys_.clear();

    const auto modifiers = std::move(heldModifierKeys_);
    heldModifierKeys_.clear();
    const bool locked = std::exchange(capsLock_, false);
    for (std::uint16_t code : modifiers) {
        poster_->postFlagsChanged({code, heldFlags(), keySourceType_});
    }
    // Caps lock is a state of the desktop's keyboard, shared with its local user: a press gives
    // back the state the companion's presses changed, and one it never changed stays as it is.
    if (locked) {
        poster_->postFlagsChanged({capsLockKey, heldFlags(), keySourceType_});
    }

    const auto buttons = std::move(buttonsDown_);
    buttonsDown_.clear();
    const ScreenPoint location = buttons.empty() ? ScreenPoint{} : pointerLocation();
    const double now = uptime();
    for (std::int64_t button : buttons) {
        MouseEvent event;
        event.type =
            button == kRightButton ? MouseEventType::rightMouseUp : MouseEventType::leftMouseUp;
        event.position = location;
        event.button = button;
        event.clickState = button == buttonHeld_ ? clickCount_ : 1;
        event.flags = heldFlags();
        if (poster_->postMouse(event)) {
            lastPosted_ = location;
            lastPostedAt_ = now;
        }
    }
    buttonHeld_.reset();
    scrollRemainderX_ = 0;
    scrollRemainderY_ = 0;
    poster_->releaseTypingKeys();
}

std::optional<ScreenPoint> InputInjector::normalizedCursor(EventPoster& poster,
                                                           const DisplaySelection& displays) {
    const auto position = poster.pointerLocation();
    if (!position) {
        return std::nullopt;
    }
    const auto bounds = displays.bounds();
    if (!bounds || !(bounds->width > 0) || !(bounds->height > 0)) {
        return std::nullopt;
    }
    auto unit = [](double v) { return v <= 0 ? 0.0 : std::min(v, 1.0); };
    return ScreenPoint{unit((position->x - bounds->x) / bounds->width),
                       unit((position->y - bounds->y) / bounds->height)};
}

}  // namespace quelm
