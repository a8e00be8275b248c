#include "QuelmCore/Messages.hpp"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "QuelmCore/AudioPacket.hpp"

namespace quelm {
namespace {

// Bounds a pointer delta; nothing for a value that is not finite.
std::optional<double> boundedDelta(double value) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    return std::clamp(value, -Wire::maxPointerDelta, Wire::maxPointerDelta);
}

std::optional<double> unitFraction(double value) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    if (value <= 0) {
        return 0.0;
    }
    return value > 1 ? 1.0 : value;
}

template <class Delta>
std::optional<ClientMessage> boundedDeltas(const Delta& d) {
    auto dx = boundedDelta(d.dx);
    auto dy = boundedDelta(d.dy);
    if (!dx || !dy) {
        return std::nullopt;
    }
    return Delta{*dx, *dy};
}

std::int64_t audioKbps(std::int64_t kbps) {
    if (kbps <= 0) {
        return 0;
    }
    return std::clamp<std::int64_t>(kbps, AudioPacket::minKbps, AudioPacket::maxKbps);
}

// A character break iterator per thread: creating one costs far more than using it.
icu::BreakIterator* characterBreaks() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(it) : nullptr;
    }();
    return iterator.get();
}

}  // namespace

std::size_t graphemeCount(std::string_view utf8, std::size_t limit) {
    bool ascii = std::all_of(utf8.begin(), utf8.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        // In ASCII only CR LF forms a cluster of two.
        std::size_t count = utf8.size();
        for (std::size_t i = 1; i < utf8.size(); ++i) {
            if (utf8[i - 1] == '\r' && utf8[i] == '\n') {
                --count;
            }
        }
        return count;
    }
    icu::BreakIterator* breaks = characterBreaks();
    UErrorCode status = U_ZERO_ERROR;
    UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    if (breaks == nullptr || U_FAILURE(status)) {
        utext_close(text);
        // Without ICU, count code points: never more than the clusters' bytes.
        return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    }
    breaks->setText(text, status);
    std::size_t count = 0;
    if (U_SUCCESS(status)) {
        breaks->first();
        while (count <= limit && breaks->next() != icu::BreakIterator::DONE) {
            ++count;
        }
    }
    // The iterator keeps its own shallow clone of the text and never reads it again before
    // the next setText.
    utext_close(text);
    return count;
}

std::string_view ClientMessage::caseName() const {
    return ClientCase::names[index()];
}

std::string_view ServerMessage::caseName() const {
    return ServerCase::names[index()];
}

std::optional<ClientMessage> ClientMessage::validated() const {
    if (auto m = std::get_if<Move>(this)) {
        return boundedDeltas(*m);
    }
    if (auto s = std::get_if<Scroll>(this)) {
        return boundedDeltas(*s);
    }
    if (auto m = std::get_if<MoveTo>(this)) {
        auto x = unitFraction(m->x);
        auto y = unitFraction(m->y);
        if (!x || !y) {
            return std::nullopt;
        }
        return MoveTo{*x, *y};
    }
    if (auto k = std::get_if<Key>(this)) {
        if (k->code > 127) {
            return std::nullopt;
        }
        return *this;
    }
    if (auto t = std::get_if<Text>(this)) {
        if (graphemeCount(t->text, Wire::maxTextLength) > Wire::maxTextLength) {
            return std::nullopt;
        }
        return *this;
    }
    if (auto c = std::get_if<Config>(this)) {
        return Config{c->config.clamped()};
    }
    if (auto c = std::get_if<Clipboard>(this)) {
        if (c->text.size() > static_cast<std::size_t>(Wire::maxClipboardBytes)) {
            return std::nullopt;
        }
        return *this;
    }
    if (auto a = std::get_if<Audio>(this)) {
        return Audio{audioKbps(a->kbps)};
    }
    return *this;
}

}  // namespace quelm
