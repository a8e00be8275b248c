#include "QuelmHostKit/platform/ReplaceableEventPoster.hpp"

#include <chrono>
#include <thread>
#include <utility>

namespace quelm {

bool ReplaceableEventPoster::postMouse(const MouseEvent& event) {
    const auto poster = current();
    return poster && poster->postMouse(event);
}

bool ReplaceableEventPoster::postScroll(const ScrollEvent& event) {
    const auto poster = current();
    return poster && poster->postScroll(event);
}

bool ReplaceableEventPoster::postKey(const KeyEvent& event) {
    const auto poster = current();
    return poster && poster->postKey(event);
}

bool ReplaceableEventPoster::postFlagsChanged(const FlagsChangedEvent& event) {
    const auto poster = current();
    return poster && poster->postFlagsChanged(event);
}

bool ReplaceableEventPoster::postUnicode(const UnicodeKeyEvent& event) {
    const auto poster = current();
    return poster && poster->postUnicode(event);
}

void ReplaceableEventPoster::releaseTypingKeys() {
    if (const auto poster = current()) {
        poster->releaseTypingKeys();
    }
}

std::optional<ScreenPoint> ReplaceableEventPoster::pointerLocation() {
    const auto poster = current();
    return poster ? poster->pointerLocation() : std::nullopt;
}

double ReplaceableEventPoster::doubleClickInterval() {
    const auto poster = current();
    return poster ? poster->doubleClickInterval() : defaultDoubleClickInterval;
}

std::int16_t ReplaceableEventPoster::keyboardType() {
    const auto poster = current();
    return poster ? poster->keyboardType() : 0;
}

EventPoster::LayoutFunction ReplaceableEventPoster::layoutFunction() {
    const auto poster = current();
    return poster ? poster->layoutFunction() : LayoutFunction{};
}

KeyboardLayoutKind ReplaceableEventPoster::physicalKeyboard() {
    const auto poster = current();
    return poster ? poster->physicalKeyboard() : KeyboardLayoutKind::us;
}

std::optional<std::string> ReplaceableEventPoster::selectASCIICapableInputMethod() {
    const auto poster = current();
    return poster ? poster->selectASCIICapableInputMethod() : std::nullopt;
}

void ReplaceableEventPoster::restoreInputMethod(const std::string& previous) {
    if (const auto poster = current()) {
        poster->restoreInputMethod(previous);
    }
}

void ReplaceableEventPoster::pause(double seconds) {
    if (const auto poster = current()) {
        poster->pause(seconds);
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

std::optional<std::string> ReplaceableEventPoster::frontmostApplication() {
    const auto poster = current();
    return poster ? poster->frontmostApplication() : std::nullopt;
}

void ReplaceableEventPoster::openOverview(OverviewDone done) {
    if (const auto poster = current()) {
        poster->openOverview(std::move(done));
    } else {
        done("no input service");
    }
}

bool ReplaceableEventPoster::spaceSwitchSupported() {
    const auto poster = current();
    return poster && poster->spaceSwitchSupported();
}

std::optional<SpaceInfo> ReplaceableEventPoster::spaceInfo() {
    const auto poster = current();
    return poster ? poster->spaceInfo() : std::nullopt;
}

bool ReplaceableEventPoster::postSpaceSwitch(bool toRight) {
    const auto poster = current();
    return poster && poster->postSpaceSwitch(toRight);
}

}  // namespace quelm
