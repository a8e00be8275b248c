// The key, text and keyboard-layout side of InputInjector.

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <memory>

#include "QuelmHostKit/input/InputInjector.hpp"
#include "QuelmHostKit/input/KeyboardTypes.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr std::uint16_t kReturnKey = 36;
constexpr std::uint16_t kTabKey = 48;
// Longest Unicode chunk, in UTF-16 code units.
constexpr std::size_t kChunkUnits = 16;
// Lets the input method settle before and after typing.
constexpr double kInputMethodPause = 0.06;

bool isModifierKey(std::uint16_t code) {
    return code >= 54 && code <= 63;
}

// ASCII other than tab, line feed and carriage return: what an input method would turn into
// something else.
bool needsASCIIInput(const icu::UnicodeString& text) {
    for (int32_t i = 0; i < text.length(); ++i) {
        const char16_t c = text.charAt(i);
        if (c <= 127 && c != 9 && c != 10 && c != 13) {
            return true;
        }
    }
    return false;
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
        }
        poster_->postFlagsChanged({code, heldFlags(), keySourceType_});
        return;
    }
    KeyEvent event;
    event.code = code;
    event.down = down;
    event.flags = extra | heldFlags();
    if (isArrowKey(code)) {
        event.flags |= EventFlag::maskNumericPad | EventFlag::maskSecondaryFn;
    } else if (isFnKey(code)) {
        event.flags |= EventFlag::maskSecondaryFn;
    }
    event.autorepeat = isRepeat && down;
    event.keyboardType = keySourceType_;
    if (!poster_->postKey(event)) {
        return;
    }
    if (down) {
        heldKeys_.insert(code);
    } else {
        heldKeys_.erase(code);
    }
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
    for (const auto& [start, end] : characters(units)) {
        const char16_t first = units.charAt(start);
        if (first == u'\n' || first == u'\r') {
            flush();
            tap(kReturnKey);
        } else if (first == u'\t') {
            flush();
            tap(kTabKey);
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
