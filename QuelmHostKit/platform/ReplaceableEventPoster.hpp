#pragma once

#include "QuelmHostKit/platform/EventPoster.hpp"
#include "QuelmHostKit/platform/Replaceable.hpp"

namespace quelm {

// Posts through whichever EventPoster is current. Without one every post fails and every
// question gets the answer of a machine without input: nothing, or the usual default.
class ReplaceableEventPoster final : public EventPoster, public Replaceable<EventPoster> {
  public:
    using Replaceable::Replaceable;

    // Used while there is no poster.
    static constexpr double defaultDoubleClickInterval = 0.4;

    bool postMouse(const MouseEvent& event) override;
    bool postScroll(const ScrollEvent& event) override;
    bool postKey(const KeyEvent& event) override;
    bool postFlagsChanged(const FlagsChangedEvent& event) override;
    bool postUnicode(const UnicodeKeyEvent& event) override;
    void releaseTypingKeys() override;

    std::optional<ScreenPoint> pointerLocation() override;
    double doubleClickInterval() override;
    std::int16_t keyboardType() override;
    LayoutFunction layoutFunction() override;
    KeyboardLayoutKind physicalKeyboard() override;

    std::optional<std::string> selectASCIICapableInputMethod() override;
    void restoreInputMethod(const std::string& previous) override;
    void pause(double seconds) override;

    std::optional<std::string> frontmostApplication() override;
    void openOverview(OverviewDone done) override;
    bool spaceSwitchSupported() override;
    std::optional<SpaceInfo> spaceInfo() override;
    bool postSpaceSwitch(bool toRight) override;
};

}  // namespace quelm
