#include "QuelmCore/companion/ShortcutButton.hpp"

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "QuelmCore/JsonWriter.hpp"
#include "QuelmCore/Localized.hpp"
#include "QuelmCore/companion/ShortcutKeys.hpp"

namespace quelm {
namespace {

namespace json = boost::json;
using Keys = ShortcutButton::Command::Keys;
using System = ShortcutButton::Command::System;

constexpr std::string_view kKeysCase = "keys";
constexpr std::string_view kSystemCase = "system";

struct DefaultButton {
    std::string_view title;
    bool localised;
    ShortcutButton::Command command;
};

constexpr Modifiers kCommand{Modifiers::command};
constexpr Modifiers kShiftCommand{Modifiers::shift, Modifiers::command};

const std::array<DefaultButton, 16>& defaultButtons() {
    static const std::array<DefaultButton, 16> buttons{{
        {"コピー", true, Keys{8, kCommand}},
        {"貼り付け", true, Keys{9, kCommand}},
        {"取り消し", true, Keys{6, kCommand}},
        {"やり直し", true, Keys{6, kShiftCommand}},
        {"すべて選択", true, Keys{0, kCommand}},
        {"保存", true, Keys{1, kCommand}},
        {"検索", true, Keys{3, kCommand}},
        {"Spotlight", false, Keys{49, kCommand}},
        {"アプリ切替", true, Keys{48, kCommand}},
        {"閉じる", true, Keys{13, kCommand}},
        {"esc", false, Keys{53, {}}},
        {"Mission Control", false, System{SystemAction::missionControl}},
        {"←", false, Keys{123, {}}},
        {"↓", false, Keys{125, {}}},
        {"↑", false, Keys{126, {}}},
        {"→", false, Keys{124, {}}},
    }};
    return buttons;
}

// A whole number in any JSON form (8, 8.0, 8e0) that fits T.
template <class T>
std::optional<T> wholeNumber(const json::value* v) {
    if (v == nullptr) {
        return std::nullopt;
    }
    if (v->is_int64() && std::in_range<T>(v->get_int64())) {
        return static_cast<T>(v->get_int64());
    }
    if (v->is_uint64() && std::in_range<T>(v->get_uint64())) {
        return static_cast<T>(v->get_uint64());
    }
    if (v->is_double()) {
        const double d = v->get_double();
        if (std::trunc(d) == d && d >= 0 && d <= std::numeric_limits<T>::max()) {
            return static_cast<T>(d);
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> stringAt(const json::object& object, std::string_view key) {
    const json::value* v = object.if_contains(key);
    if (v == nullptr || !v->is_string()) {
        return std::nullopt;
    }
    return std::string_view(v->get_string());
}

// A command is an object with exactly one case key; other keys do not count.
std::optional<ShortcutButton::Command> decodeCommand(const json::value& v) {
    const json::object* object = v.if_object();
    if (object == nullptr) {
        return std::nullopt;
    }
    const json::value* keys = object->if_contains(kKeysCase);
    const json::value* system = object->if_contains(kSystemCase);
    if ((keys == nullptr) == (system == nullptr)) {
        return std::nullopt;  // "Invalid number of keys found, expected one."
    }
    if (keys != nullptr) {
        const json::object* payload = keys->if_object();
        if (payload == nullptr) {
            return std::nullopt;
        }
        auto code = wholeNumber<std::uint16_t>(payload->if_contains("code"));
        auto modifiers = wholeNumber<std::uint8_t>(payload->if_contains("modifiers"));
        if (!code || !modifiers) {
            return std::nullopt;
        }
        return Keys{*code, Modifiers{*modifiers}};
    }
    const json::object* payload = system->if_object();
    if (payload == nullptr) {
        return std::nullopt;
    }
    auto raw = stringAt(*payload, "_0");
    auto action = raw ? systemAction(*raw) : std::nullopt;
    if (!action) {
        return std::nullopt;
    }
    return System{*action};
}

std::optional<ShortcutButton> decodeButton(const json::value& v) {
    const json::object* object = v.if_object();
    if (object == nullptr) {
        return std::nullopt;
    }
    auto idText = stringAt(*object, "id");
    auto title = stringAt(*object, "title");
    const json::value* commandValue = object->if_contains("command");
    if (!idText || !title || commandValue == nullptr) {
        return std::nullopt;
    }
    auto id = Uuid::parse(*idText);
    auto command = decodeCommand(*commandValue);
    if (!id || !command) {
        return std::nullopt;
    }
    return ShortcutButton{*id, std::string(*title), *command};
}

std::optional<std::vector<ShortcutButton>> decodeButtons(std::span<const std::uint8_t> data) {
    boost::system::error_code error;
    const json::value parsed = json::parse(
        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), error);
    if (error || !parsed.is_array()) {
        return std::nullopt;
    }
    std::vector<ShortcutButton> buttons;
    for (const auto& element : parsed.get_array()) {
        auto button = decodeButton(element);
        if (!button) {
            return std::nullopt;
        }
        buttons.push_back(std::move(*button));
    }
    return buttons;
}

void writeCommand(JsonWriter& out, const ShortcutButton::Command& command) {
    if (const auto* keys = std::get_if<Keys>(&command)) {
        out.raw(R"({"keys":{"code":)");
        out.number(static_cast<std::int64_t>(keys->code));
        out.raw(R"(,"modifiers":)");
        out.number(static_cast<std::int64_t>(keys->modifiers.rawValue));
        out.raw("}}");
    } else {
        out.raw(R"({"system":{"_0":)");
        out.string(rawValue(std::get<System>(command).action));
        out.raw("}}");
    }
}

}  // namespace

std::vector<ShortcutButton> ShortcutButton::defaults() {
    std::vector<ShortcutButton> buttons;
    buttons.reserve(maxCount);
    for (const auto& b : defaultButtons()) {
        std::string title = b.localised ? localized(b.title) : std::string(b.title);
        auto id = Uuid::random();
        if (!id) {
            // Without random bytes the row still needs ids that tell its buttons apart.
            id = Uuid{};
            id->bytes[15] = static_cast<std::uint8_t>(buttons.size() + 1);
        }
        buttons.push_back(ShortcutButton{*id, std::move(title), b.command});
    }
    return buttons;
}

std::vector<ShortcutButton> ShortcutButton::decodeList(
    std::optional<std::span<const std::uint8_t>> data) {
    if (!data) {
        return defaults();
    }
    auto buttons = decodeButtons(*data);
    if (!buttons) {
        return defaults();
    }
    if (buttons->size() > maxCount) {
        buttons->resize(maxCount);
    }
    return std::move(*buttons);
}

std::optional<Bytes> ShortcutButton::encodeList(std::span<const ShortcutButton> buttons) {
    JsonWriter out;
    out.raw("[");
    const auto count = std::min(buttons.size(), maxCount);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& button = buttons[i];
        out.raw(i == 0 ? R"({"id":)" : R"(,{"id":)");
        out.string(button.id.text());
        out.raw(R"(,"title":)");
        out.string(button.title);
        out.raw(R"(,"command":)");
        writeCommand(out, button.command);
        out.raw("}");
    }
    out.raw("]");
    if (!out.ok()) {
        return std::nullopt;
    }
    const auto& text = out.text();
    return Bytes(text.begin(), text.end());
}

std::optional<std::string> ShortcutButton::hint() const {
    const auto* keys = std::get_if<Keys>(&command);
    if (keys == nullptr) {
        return std::nullopt;
    }
    std::string description = ShortcutKeys::describe(keys->code, keys->modifiers);
    if (description == title) {
        return std::nullopt;
    }
    return description;
}

bool ShortcutButton::repeats() const {
    const auto* keys = std::get_if<Keys>(&command);
    return keys != nullptr && keys->modifiers.rawValue == 0 &&
           std::ranges::find(ShortcutKeys::repeatable, keys->code) !=
               ShortcutKeys::repeatable.end();
}

}  // namespace quelm
