#include "QuelmHostKit/input/DesktopShortcuts.hpp"

#include <algorithm>
#include <array>

namespace quelm::DesktopShortcuts {

namespace {

constexpr std::uint16_t kTab = 48;
constexpr std::uint16_t kSpace = 49;
constexpr std::uint16_t kGrave = 50;
constexpr std::uint16_t kCommand = 55;  // the left command key: Super on Linux
constexpr std::uint16_t kHome = 115;
constexpr std::uint16_t kEnd = 119;
constexpr std::uint16_t kLeft = 123;
constexpr std::uint16_t kRight = 124;
constexpr std::uint16_t kDown = 125;
constexpr std::uint16_t kUp = 126;

constexpr EventFlags kAlt = EventFlag::maskAlternate;
constexpr EventFlags kControl = EventFlag::maskControl;

constexpr std::array kTable{
    Shortcut{kTab, {kTab, kAlt}, true, "switch windows"},
    Shortcut{kGrave, {kGrave, kAlt}, true, "switch windows of the application"},
    // GNOME's overview with its search, KDE's launcher: a tap of Super. Control+Space is the
    // input-method toggle of Fcitx 5 and IBus.
    Shortcut{kSpace, {kCommand, 0}, false, "launcher and search"},
    // Control with an arrow moves by word on Linux.
    Shortcut{kLeft, {kHome, 0}, false, "start of the line"},
    Shortcut{kRight, {kEnd, 0}, false, "end of the line"},
    Shortcut{kUp, {kHome, kControl}, false, "start of the document"},
    Shortcut{kDown, {kEnd, kControl}, false, "end of the document"},
};

}  // namespace

std::span<const Shortcut> table() {
    return kTable;
}

Translation translate(std::uint16_t code, EventFlags flags) {
    if ((flags & EventFlag::maskCommand) == 0) {
        return {{code, flags}, 0};
    }
    const EventFlags others = flags & ~commandBits;
    const auto* row = std::find_if(kTable.begin(), kTable.end(),
                                   [code](const Shortcut& s) { return s.code == code; });
    if (row == kTable.end()) {
        return {{code, others | kControl}, 0};
    }
    return {{row->desktop.code, others | row->desktop.flags},
            row->holdsModifier ? row->desktop.flags : 0};
}

}  // namespace quelm::DesktopShortcuts
