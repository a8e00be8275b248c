#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm::test {

// Records every event and request in order and answers what the test scripts. Thread-safe.
class RecordingEventPoster final : public EventPoster {
  public:
    struct Pause {
        double seconds = 0;
        friend bool operator==(const Pause&, const Pause&) = default;
    };
    struct SelectASCII {
        friend bool operator==(const SelectASCII&, const SelectASCII&) = default;
    };
    struct RestoreInputMethod {
        std::string previous;
        friend bool operator==(const RestoreInputMethod&, const RestoreInputMethod&) = default;
    };
    struct Overview {
        friend bool operator==(const Overview&, const Overview&) = default;
    };
    struct SpaceSwitch {
        bool toRight = false;
        friend bool operator==(const SpaceSwitch&, const SpaceSwitch&) = default;
    };
    using Entry =
        std::variant<MouseEvent, ScrollEvent, KeyEvent, FlagsChangedEvent, UnicodeKeyEvent, Pause,
                     SelectASCII, RestoreInputMethod, Overview, SpaceSwitch>;

    bool postMouse(const MouseEvent& event) override { return record(event); }
    bool postScroll(const ScrollEvent& event) override { return record(event); }
    bool postKey(const KeyEvent& event) override { return record(event); }
    bool postFlagsChanged(const FlagsChangedEvent& event) override { return record(event); }
    bool postUnicode(const UnicodeKeyEvent& event) override { return record(event); }
    void releaseTypingKeys() override { ++typingKeysReleases; }
    std::atomic<int> typingKeysReleases{0};

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

    // What the platform answers.
    std::optional<ScreenPoint> pointer = ScreenPoint{100, 100};
    double clickInterval = 0.5;
    std::int16_t kbdType = 40;
    LayoutFunction layouts;
    KeyboardLayoutKind keyboard = KeyboardLayoutKind::us;
    // The input method that selectASCIICapableInputMethod switches away from; none: no switch.
    std::optional<std::string> nonASCIIMethod;
    std::optional<std::string> frontmost;
    std::optional<std::string> overviewError;
    bool spacesSupported = true;
    std::optional<SpaceInfo> spaces;
    // While set, every post fails and nothing is recorded.
    bool failPosts = false;
    // A successful workspace switch moves spaces->index, as a window manager would.
    bool followSwitches = false;

    std::vector<Entry> entries() const;
    template <class T>
    std::vector<T> only() const {
        std::vector<T> found;
        for (const auto& entry : entries()) {
            if (const auto* e = std::get_if<T>(&entry)) {
                found.push_back(*e);
            }
        }
        return found;
    }
    void clear();

  private:
    template <class T>
    bool record(const T& event) {
        std::lock_guard lock(mutex_);
        if (failPosts) {
            return false;
        }
        entries_.emplace_back(event);
        return true;
    }

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace quelm::test
