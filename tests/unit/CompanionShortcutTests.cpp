#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "QuelmCore/Localized.hpp"
#include "QuelmCore/RandomSource.hpp"
#include "QuelmCore/companion/ShortcutButton.hpp"
#include "QuelmCore/companion/ShortcutKeys.hpp"
#include "QuelmCore/companion/SystemActionTitle.hpp"
#include "QuelmCore/companion/Uuid.hpp"

namespace quelm {
namespace {

using Command = ShortcutButton::Command;
using Keys = Command::Keys;
using System = Command::System;

constexpr Modifiers kShiftCommand{Modifiers::shift, Modifiers::command};
constexpr const char* kId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

Bytes bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string buttonJson(std::string_view command, std::string_view id = kId) {
    return std::string(R"({"id":")") + std::string(id) + R"(","title":"T","command":)" +
           std::string(command) + "}";
}

std::string listOf(int count) {
    std::string json = "[";
    for (int i = 0; i < count; ++i) {
        json += (i ? "," : "") +
                buttonJson(R"({"keys":{"code":)" + std::to_string(i) + R"(,"modifiers":0}})");
    }
    return json + "]";
}

bool isDefaultList(const std::vector<ShortcutButton>& list) {
    return list.size() == 16 && list.front().command == Command{Keys{8, {Modifiers::command}}} &&
           list[11].command == Command{System{SystemAction::missionControl}};
}

TEST(ShortcutKeys, DescribeAndLabel) {
    struct Case {
        std::uint16_t code;
        Modifiers modifiers;
        std::string expected;
    };
    const Case cases[] = {
        {6, kShiftCommand, "⇧⌘Z"},
        {6, Modifiers{15}, "⌃⌥⇧⌘Z"},
        {49, {Modifiers::command}, "⌘Space"},
        {200, {}, "key 200"},
        {122, Modifiers{0xF0}, "F1"},  // unnamed bits add nothing
        {111, {Modifiers::option}, "⌥F12"},
        {42, {}, "\\"},
        {29, {Modifiers::control}, "⌃0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShortcutKeys::describe(c.code, c.modifiers), c.expected) << c.code;
    }
    EXPECT_EQ(ShortcutKeys::label(121), "Page Down");
    EXPECT_EQ(ShortcutKeys::label(65535), "key 65535");
}

TEST(ShortcutKeys, CatalogueHasUniqueCodesAndLabels) {
    std::set<std::uint16_t> codes;
    std::set<std::string_view> labels;
    for (const auto& key : ShortcutKeys::all) {
        codes.insert(key.code);
        labels.insert(key.label);
    }
    EXPECT_EQ(codes.size(), ShortcutKeys::all.size());
    EXPECT_EQ(labels.size(), ShortcutKeys::all.size());
    EXPECT_EQ(ShortcutKeys::all[25], (ShortcutKeys::Key{"Z", 6}));
    EXPECT_EQ(ShortcutKeys::all[36], (ShortcutKeys::Key{"Space", 49}));
}

TEST(ShortcutButton, DefaultsHintsAndRepeats) {
    const auto defaults = ShortcutButton::defaults();
    ASSERT_EQ(defaults.size(), ShortcutButton::maxCount);
    std::set<std::string> ids;
    for (const auto& b : defaults) {
        ids.insert(b.id.text());
    }
    EXPECT_EQ(ids.size(), 16u);

    const auto& copy = defaults[0];
    EXPECT_EQ(copy.title, localized("コピー"));
    EXPECT_EQ(copy.hint(), "⌘C");
    EXPECT_FALSE(copy.repeats());
    EXPECT_EQ(defaults[3].command, (Command{Keys{6, kShiftCommand}}));
    EXPECT_EQ(defaults[7].title, "Spotlight");
    EXPECT_EQ(defaults[10].title, "esc");
    EXPECT_EQ(defaults[10].hint(), std::nullopt);
    EXPECT_EQ(defaults[11].hint(), std::nullopt);
    EXPECT_FALSE(defaults[11].repeats());

    const auto& left = defaults[12];
    EXPECT_EQ(left.title, "←");
    EXPECT_TRUE(left.repeats());
    EXPECT_EQ(left.hint(), std::nullopt);
    ShortcutButton shiftedLeft = left;
    shiftedLeft.command = Keys{123, {Modifiers::shift}};
    EXPECT_FALSE(shiftedLeft.repeats());
    EXPECT_EQ(shiftedLeft.hint(), "⇧←");
    shiftedLeft.command = Keys{123, Modifiers{0x10}};  // any bit at all stops repeating
    EXPECT_FALSE(shiftedLeft.repeats());
}

TEST(ShortcutButton, DecodeListFallsBackToTheDefaults) {
    const std::vector<std::string> broken{
        "not json",
        "{}",
        "[1]",
        "[" + buttonJson(R"({"keys":{"code":8,"modifiers":8}})") + ",{}]",
        "[" + buttonJson(R"({"keys":{"code":8,"modifiers":8},"system":{"_0":"back"}})") + "]",
        "[" + buttonJson(R"({"other":{}})") + "]",
        "[" + buttonJson(R"({"keys":{"code":8}})") + "]",
        "[" + buttonJson(R"({"keys":{"code":70000,"modifiers":0}})") + "]",
        "[" + buttonJson(R"({"keys":{"code":-1,"modifiers":0}})") + "]",
        "[" + buttonJson(R"({"keys":{"code":8,"modifiers":256}})") + "]",
        "[" + buttonJson(R"({"keys":{"code":8.5,"modifiers":0}})") + "]",
        "[" + buttonJson(R"({"keys":null})") + "]",
        "[" + buttonJson(R"({"system":{"_0":"sleep"}})") + "]",
        "[" + buttonJson(R"({"system":"back"})") + "]",
        "[" + buttonJson(R"({"system":{"_0":"back"}})", "not-a-uuid") + "]",
        "[" + buttonJson(R"({"system":{"_0":"back"}})", "E621E1F8C36C495A93FC0C247A3E6E5F") + "]",
        R"([{"id":")" + std::string(kId) + R"(","command":{"system":{"_0":"back"}}}])",
    };
    EXPECT_TRUE(isDefaultList(ShortcutButton::decodeList(std::nullopt)));
    for (const auto& text : broken) {
        const Bytes data = bytes(text);
        EXPECT_TRUE(isDefaultList(ShortcutButton::decodeList(data))) << text;
    }
}

TEST(ShortcutButton, DecodeListKeepsWhatDecodes) {
    EXPECT_TRUE(ShortcutButton::decodeList(bytes("[]")).empty());

    const auto twenty = ShortcutButton::decodeList(bytes(listOf(20)));
    ASSERT_EQ(twenty.size(), 16u);
    EXPECT_EQ(twenty[15].command, (Command{Keys{15, {}}}));

    // Lower-case ids, whole numbers written as decimals and unknown keys are accepted.
    const auto lenient = ShortcutButton::decodeList(
        bytes(R"([{"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","title":"戻る","extra":1,)"
              R"("command":{"keys":{"code":8.0,"modifiers":9,"x":0},"note":"n"}}])"));
    ASSERT_EQ(lenient.size(), 1u);
    EXPECT_EQ(lenient[0].id.text(), kId);
    EXPECT_EQ(lenient[0].title, "戻る");
    EXPECT_EQ(lenient[0].command, (Command{Keys{8, Modifiers{9}}}));
}

TEST(ShortcutButton, EncodeListWritesAtMostSixteenAndRoundTrips) {
    const auto id = Uuid::parse(kId).value();
    const std::vector<ShortcutButton> one{{id, "Copy \"all\"", Keys{8, {Modifiers::command}}}};
    const auto text = ShortcutButton::encodeList(one);
    ASSERT_TRUE(text);
    EXPECT_EQ(std::string(text->begin(), text->end()),
              R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","title":"Copy \"all\"",)"
              R"("command":{"keys":{"code":8,"modifiers":8}}}])");

    std::vector<ShortcutButton> many = ShortcutButton::decodeList(bytes(listOf(16)));
    many.insert(many.end(), 4, ShortcutButton{id, "extra", System{SystemAction::forward}});
    const auto encoded = ShortcutButton::encodeList(many);
    ASSERT_TRUE(encoded);
    const auto decoded = ShortcutButton::decodeList(*encoded);
    EXPECT_EQ(decoded, std::vector<ShortcutButton>(many.begin(), many.begin() + 16));

    auto defaults = ShortcutButton::defaults();
    EXPECT_EQ(ShortcutButton::decodeList(*ShortcutButton::encodeList(defaults)), defaults);
    EXPECT_EQ(ShortcutButton::encodeList({}), bytes("[]"));
}

TEST(SystemActionTitle, TitlesOfTheActions) {
    EXPECT_EQ(title(SystemAction::missionControl), "Mission Control");
    EXPECT_EQ(title(SystemAction::spaceLeft), localized("左の操作スペース"));
    EXPECT_EQ(title(SystemAction::spaceRight), localized("右の操作スペース"));
    EXPECT_EQ(title(SystemAction::back), localized("戻る"));
    EXPECT_EQ(title(SystemAction::forward), localized("進む"));
}

TEST(Uuid, TextFormAndRandomIds) {
    const auto id = Uuid::parse("00112233-4455-6677-8899-aabbccddeeff");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->bytes[0], 0x00);
    EXPECT_EQ(id->bytes[15], 0xFF);
    EXPECT_EQ(id->text(), "00112233-4455-6677-8899-AABBCCDDEEFF");
    for (std::string_view bad :
         {"", "00112233-4455-6677-8899-aabbccddeef", "00112233-4455-6677-8899-aabbccddeefg",
          "00112233+4455-6677-8899-aabbccddeeff", "{00112233-4455-6677-8899-aabbccddeeff}"}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
    const Uuid a = Uuid::random().value();
    const Uuid b = Uuid::random().value();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.bytes[6] >> 4, 4);       // version 4
    EXPECT_EQ(a.bytes[8] & 0xC0, 0x80);  // RFC 4122 variant
    EXPECT_EQ(Uuid::parse(a.text()), a);
}

TEST(Uuid, RandomIdsComeFromTheGivenSource) {
    const RandomSource ones = [](std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), 0xFF);
        return true;
    };
    EXPECT_EQ(Uuid::random(ones)->text(), "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF");

    const RandomSource broken = [](std::span<std::uint8_t>) { return false; };
    EXPECT_FALSE(Uuid::random(broken));
    EXPECT_FALSE(Uuid::random(RandomSource{}));
}

TEST(RandomSource, StandardSourceFillsEveryByte) {
    // Odd lengths cover a partly used last word. A byte left 0 in eight draws is left out.
    const auto source = standardRandomSource();
    for (std::size_t length : {1u, 7u, 64u}) {
        std::vector<bool> written(length, false);
        for (int draw = 0; draw < 8; ++draw) {
            std::vector<std::uint8_t> bytes(length, 0);
            ASSERT_TRUE(source(bytes));
            for (std::size_t i = 0; i < length; ++i) {
                written[i] = written[i] || bytes[i] != 0;
            }
        }
        EXPECT_EQ(std::count(written.begin(), written.end(), false), 0) << length;
    }
}

}  // namespace
}  // namespace quelm
