// The key, text and keyboard-layout side of InputInjector.

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "QuelmHostKit/input/DesktopShortcuts.hpp"
#include "QuelmHostKit/input/InputInjector.hpp"
#include "QuelmHostKit/input/KeyboardTypes.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr std::uint16_t kReturnKey = 36;
constexpr std::uint16_t kTabKey = 48;
constexpr std::uint16_t kDeleteKey = 51;  // backspace
constexpr std::uint16_t kEscapeKey = 53;
constexpr std::uint16_t kLeftCommandKey = 55;
constexpr std::uint16_t kRightCommandKey = 54;
// Longest Unicode chunk, in UTF-16 code units.
constexpr std::size_t kChunkUnits = 16;
// Lets the input method settle before and after typing.
constexpr double kInputMethodPause = 0.06;

bool isModifierKey(std::uint16_t code) {
    return code >= 54 && code <= 63;
}

// Printable ASCII: what an input method would turn into something else. Control characters
// become keys or are skipped.
bool needsASCIIInput(const icu::UnicodeString& text) {
    for (int32_t i = 0; i < text.length(); ++i) {
        const char16_t c = text.charAt(i);
        if (c >= 0x20 && c < 0x7F) {
            return true;
        }
    }
    return false;
}

// C0 and C1 controls: no key types them.
bool isControlCharacter(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

std::string hex4(char16_t c) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(c));
    return text;
}

// The user-perceived characters of `text` as UTF-16 ranges [start, end); a carriage return with
// its line feed is one.
std::vector<std::pair<int32_t, int32_t>> characters(const icu::UnicodeString& text) {
    std::vector<std::pair<int32_t, int32_t>> ranges;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) {
        // Without ICU's rules, code points, with CR LF kept together.
        for (int32_t i = 0; i < text.length();) {
            int32_t end = text.moveIndex32(i, 1);
            if (text.charAt(i) == u'\r' && end < text.length() && text.charAt(end) == u'\n') {
                ++end;
            }
            ranges.emplace_back(i, end);
            i = end;
        }
        return ranges;
    }
    breaks->setText(text);
    int32_t start = breaks->first();
    for (int32_t end = breaks->next(); end != icu::BreakIterator::DONE; end = breaks->next()) {
        ranges.emplace_back(start, end);
        start = end;
    }
    return ranges;
}

}  // namespace

bool InputInjector::isArrowKey(std::uint16_t code) {
    return code == 123 || code == 124 || code == 125 || code == 126;
}

bool InputInjector::isFnKey(std::uint16_t code) {
    switch (code) {
        case 122:
        case 120:
        case 99:
        case 118:
        case 96:
        case 97:  // F1 to F6
        case 98:
        case 100:
        case 101:
        case 109:
        case 103:
        case 111:  // F7 to F12
        case 105:
        case 107:
        case 113:
        case 106:
        case 64:
        case 79:  // F13 to F18
        case 80:
        case 90:  // F19, F20
        case 115:
        case 119:
        case 116:
        case 121:
        case 117:
        case 114:         // home, end, page up/down,
            return true;  // forward delete, help
        default:
            return false;
    }
}

void InputInjector::key(std::uint16_t code, bool down, bool isRepeat, EventFlags extra) {
    if (isModifierKey(code)) {
        if (code == capsLockKey) {
            if (!down) {
                return;
            }
            capsLock_ = !capsLock_;
        } else if (down) {
            heldModifierKeys_.insert(code);
        } else {
            heldModifierKeys_.erase(code);
            // Letting go of command ends the switch, as it does on the companion's platform.
            if (switcherFlags_ != 0 && !commandKeyHeld()) {
                switcherFlags_ = 0;
                ++switcherToken_;
            }
        }
        poster_->postFlagsChanged({code, heldFlags(), keySourceType_});
        return;
    }
    const auto translation = DesktopShortcuts::translate(code, extra | companionHeldFlags());
    if (down && translation.heldModifier == 0) {
        closeSwitcher();
    }
    if (translation.heldModifier != 0) {
        keepSwitcherOpen(translation.heldModifier);
    }
    // A key keeps the code it was pressed as until its release.
    const auto held = heldKeys_.find(code);
    KeyEvent event;
    event.code = held != heldKeys_.end() ? held->second : translation.combination.code;
    event.down = down;
    event.flags = translation.combination.flags;
    if (!down) {
        event.flags |= switcherFlags_;
    }
    if (isArrowKey(event.code)) {
        event.flags |= EventFlag::maskNumericPad | EventFlag::maskSecondaryFn;
    } else if (isFnKey(event.code)) {
        event.flags |= EventFlag::maskSecondaryFn;
    }
    event.autorepeat = isRepeat && down;
    event.keyboardType = keySourceType_;
    if (!poster_->postKey(event)) {
        return;
    }
    if (down) {
        heldKeys_.emplace(code, event.code);
    } else {
        heldKeys_.erase(code);
    }
}

bool InputInjector::commandKeyHeld() const {
    return heldModifierKeys_.contains(kLeftCommandKey) ||
           heldModifierKeys_.contains(kRightCommandKey);
}

void InputInjector::keepSwitcherOpen(EventFlags modifier) {
    const auto token = ++switcherToken_;
    if (switcherFlags_ != modifier) {
        switcherFlags_ = modifier;
        poster_->postFlagsChanged({optionKey, heldFlags(), keySourceType_});
    }
    // Held command keys close it on their release; a combination sent whole closes it once the
    // companion stops repeating it.
    queue_->after(switcherLinger, weakCallback(shared_from_this(), [token](InputInjector& self) {
                      if (self.switcherToken_ == token && !self.commandKeyHeld()) {
                          self.closeSwitcher();
                      }
                  }));
}

void InputInjector::closeSwitcher() {
    if (switcherFlags_ == 0) {
        return;
    }
    switcherFlags_ = 0;
    ++switcherToken_;
    poster_->postFlagsChanged({optionKey, heldFlags(), keySourceType_});
}

void InputInjector::type(const std::string& text) {
    if (text.empty()) {
        return;
    }
    const icu::UnicodeString units = icu::UnicodeString::fromUTF8(text);
    std::optional<std::string> previousMethod;
    if (needsASCIIInput(units)) {
        previousMethod = poster_->selectASCIICapableInputMethod();
        if (previousMethod) {
            poster_->pause(kInputMethodPause);
        }
    }

    std::u16string chunk;
    auto flush = [&] {
        if (chunk.empty()) {
            return;
        }
        poster_->postUnicode({chunk, true});
        poster_->postUnicode({chunk, false});
        chunk.clear();
    };
    auto tap = [&](std::uint16_t code) {
        poster_->postKey({code, true, false, 0, std::nullopt});
        poster_->postKey({code, false, false, 0, std::nullopt});
    };
    bool skippedControl = false;
    for (const auto& [start, end] : characters(units)) {
        const char16_t first = units.charAt(start);
        if (first == u'\n' || first == u'\r') {
            flush();
            tap(kReturnKey);
        } else if (first == u'\t') {
            flush();
            tap(kTabKey);
        } else if (first == 0x08 || first == 0x7F) {
            // Backspace, and the delete character the companion's platform sends for it.
            flush();
            tap(kDeleteKey);
        } else if (first == 0x1B) {
            flush();
            tap(kEscapeKey);
        } else if (isControlCharacter(first)) {
            if (!std::exchange(skippedControl, true)) {
                Log::info("text: control characters skipped, the first U+" + hex4(first));
            }
        } else {
            const auto length = static_cast<std::size_t>(end - start);
            if (chunk.size() + length > kChunkUnits) {
                flush();
            }
            for (int32_t i = start; i < end; ++i) {
                chunk.push_back(units.charAt(i));
            }
        }
    }
    flush();

    if (previousMethod) {
        poster_->pause(kInputMethodPause);
        poster_->restoreInputMethod(*previousMethod);
    }
}

void InputInjector::setLayout(std::optional<KeyboardLayoutKind> layout) {
    if (!layout) {
        keySourceType_.reset();
        return;
    }
    const auto wanted = *layout == KeyboardLayoutKind::jis ? KeyboardTypes::Layout::jis
                                                           : KeyboardTypes::Layout::ansi;
    const auto function = poster_->layoutFunction();
    const int kbd = poster_->keyboardType();
    if (KeyboardTypes::layout(kbd, function) == wanted) {
        keySourceType_.reset();
        return;
    }
    if (auto type = KeyboardTypes::closest(kbd, wanted, function)) {
        keySourceType_ = static_cast<std::int16_t>(*type);
        return;
    }
    Log::info(*layout == KeyboardLayoutKind::jis
                  ? "no jis keyboard type available; using the host's own"
                  : "no us keyboard type available; using the host's own");
    keySourceType_.reset();
}

KeyboardLayoutKind InputInjector::physicalKeyboard(EventPoster& poster) {
    return poster.physicalKeyboard();
}

}  // namespace quelm
