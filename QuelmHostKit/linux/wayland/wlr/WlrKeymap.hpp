#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct xkb_context;
struct xkb_keymap;

namespace quelm {

// The keymap the host's virtual keyboard carries: the session's layout (XKB_DEFAULT_LAYOUT and
// its kin, US without them) on evdev key codes, with the
// key codes that layout leaves empty ("spare") holding whatever keysyms the text being typed
// needs, one level each, so that Shift and the like do not change them. Compiled with
// xkbcommon; the text sent to the compositor is the compiled keymap, with no includes left.
//
// Thread-compatible: one user at a time.
class WlrKeymap {
  public:
    WlrKeymap();
    ~WlrKeymap();
    WlrKeymap(const WlrKeymap&) = delete;
    WlrKeymap& operator=(const WlrKeymap&) = delete;

    // False when xkbcommon could compile neither that layout nor the US one.
    bool valid() const { return base_ != nullptr; }
    std::size_t spareCount() const { return spare_.size(); }

    // Places each keysym on a spare code, keeping those already placed while room lasts; the
    // evdev code of each, in order. None when more distinct keysyms are asked for at once
    // than there are spare codes. `changed` says whether the keymap text changed.
    std::optional<std::vector<std::uint32_t>> place(const std::vector<std::uint32_t>& keysyms,
                                                    bool& changed);
    // The keymap text as it stands (the layout plus the placed keysyms), and compiled.
    const std::string& text() const { return text_; }
    xkb_keymap* keymap() const { return current_ ? current_ : base_; }
    // An evdev code with no keysym at all: pressing it types nothing.
    std::optional<std::uint32_t> silentCode() const;

  private:
    bool rebuild();

    xkb_context* context_ = nullptr;
    xkb_keymap* base_ = nullptr;
    std::string baseText_;
    // Spare XKB key codes (evdev + 8) and their names.
    std::vector<std::pair<std::uint32_t, std::string>> spare_;
    // Keysym -> index into spare_.
    std::map<std::uint32_t, std::size_t> placed_;
    std::string text_;
    xkb_keymap* current_ = nullptr;
};

}  // namespace quelm
