#include "tests/fakes/RecordingEventPoster.hpp"

namespace quelm::test {

std::optional<ScreenPoint> RecordingEventPoster::pointerLocation() {
    std::lock_guard lock(mutex_);
    return pointer;
}

double RecordingEventPoster::doubleClickInterval() {
    std::lock_guard lock(mutex_);
    return clickInterval;
}

std::int16_t RecordingEventPoster::keyboardType() {
    std::lock_guard lock(mutex_);
    return kbdType;
}

EventPoster::LayoutFunction RecordingEventPoster::layoutFunction() {
    std::lock_guard lock(mutex_);
    return layouts;
}

KeyboardLayoutKind RecordingEventPoster::physicalKeyboard() {
    std::lock_guard lock(mutex_);
    return keyboard;
}

std::optional<std::string> RecordingEventPoster::selectASCIICapableInputMethod() {
    std::lock_guard lock(mutex_);
    entries_.emplace_back(SelectASCII{});
    return nonASCIIMethod;
}

void RecordingEventPoster::restoreInputMethod(const std::string& previous) {
    std::lock_guard lock(mutex_);
    entries_.emplace_back(RestoreInputMethod{previous});
}

void RecordingEventPoster::pause(double seconds) {
    std::lock_guard lock(mutex_);
    entries_.emplace_back(Pause{seconds});
}

std::optional<std::string> RecordingEventPoster::frontmostApplication() {
    std::lock_guard lock(mutex_);
    return frontmost;
}

void RecordingEventPoster::openOverview(OverviewDone done) {
    std::optional<std::string> error;
    {
        std::lock_guard lock(mutex_);
        entries_.emplace_back(Overview{});
        error = overviewError;
    }
    done(error);
}

bool RecordingEventPoster::spaceSwitchSupported() {
    std::lock_guard lock(mutex_);
    return spacesSupported;
}

std::optional<SpaceInfo> RecordingEventPoster::spaceInfo() {
    std::lock_guard lock(mutex_);
    return spaces;
}

bool RecordingEventPoster::postSpaceSwitch(bool toRight) {
    std::lock_guard lock(mutex_);
    if (failPosts) {
        return false;
    }
    entries_.emplace_back(SpaceSwitch{toRight});
    if (followSwitches && spaces) {
        spaces->index = toRight ? spaces->index + 1 : spaces->index - 1;
    }
    return true;
}

std::vector<RecordingEventPoster::Entry> RecordingEventPoster::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

void RecordingEventPoster::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace quelm::test
