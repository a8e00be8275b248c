#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "QuelmCore/companion/CharacterMap.hpp"
#include "QuelmCore/companion/FlickDirection.hpp"
#include "QuelmCore/companion/FlickKey.hpp"
#include "QuelmCore/companion/KanaVariant.hpp"
#include "QuelmCore/companion/Romaji.hpp"
#include "QuelmCore/companion/ShortcutKeys.hpp"

namespace quelm {
namespace {

using KeyStroke = CharacterMap::KeyStroke;
using Strokes = std::vector<KeyStroke>;
constexpr auto us = KeyboardLayoutKind::us;
constexpr auto jis = KeyboardLayoutKind::jis;
constexpr Modifiers kShift{Modifiers::shift};
constexpr Modifiers kOption{Modifiers::option};

TEST(FlickDirection, FromSwipe) {
    struct Case {
        double dx, dy, threshold;
        FlickDirection expected;
    };
    const Case cases[] = {
        {30, -29, 20, FlickDirection::right},
        {3, 4, 10, FlickDirection::center},
        {-5, 5, 1, FlickDirection::left},
        {5, 5, 1, FlickDirection::right},
        {1, -30, 20, FlickDirection::up},
        {-1, 30, 20, FlickDirection::down},
        {6, 8, 10, FlickDirection::down},
        {0, 0, 0, FlickDirection::right},
        {std::nan(""), 5, 1, FlickDirection::center},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(flickDirection(c.dx, c.dy, c.threshold), c.expected) << c.dx << "," << c.dy;
    }
    for (std::size_t i = 0; i < allFlickDirections.size(); ++i) {
        EXPECT_EQ(rawValue(allFlickDirections[i]), static_cast<int>(i));
    }
}

TEST(FlickKey, LabelsOutputsAndToggleCycles) {
    const auto vowels = FlickKey::fromKana({"あ", "い", "う", "え", "お"});
    EXPECT_EQ(vowels.label(), "あ");
    EXPECT_EQ(vowels.toggleCycle(), (std::vector<std::string>{"あ", "い", "う", "え", "お"}));
    EXPECT_EQ(vowels.output(FlickDirection::right), FlickOutput{FlickOutput::Text{"え"}});

    const auto ya = FlickKey::fromKana({"や", "「", "ゆ", "」", "よ"});
    EXPECT_EQ(ya.toggleCycle(), (std::vector<std::string>{"や", "ゆ", "よ"}));

    const auto three = FlickKey::fromKana({"わ", "", "を"});
    EXPECT_FALSE(three.output(FlickDirection::left));
    EXPECT_FALSE(three.output(FlickDirection::right));
    EXPECT_FALSE(three.output(FlickDirection::down));
    EXPECT_EQ(three.toggleCycle(), (std::vector<std::string>{"わ", "を"}));

    const FlickKey convert({FlickOutput::Key{49}, FlickOutput::Key{123}, std::nullopt,
                            FlickOutput::Text{"x"}, std::nullopt, FlickOutput::Text{"sixth"}});
    EXPECT_EQ(convert.label(), "変換");
    EXPECT_EQ(convert.toggleCycle(), std::vector<std::string>{"x"});
    EXPECT_EQ(FlickKey({FlickOutput::Key{36}}).label(), std::nullopt);
    EXPECT_EQ(FlickKey(std::vector<std::optional<FlickOutput>>{}).label(), "");

    EXPECT_EQ(FlickOutput{FlickOutput::Key{126}}.label(), "↑");
    EXPECT_EQ(FlickOutput{FlickOutput::Key{0}}.label(), std::nullopt);
}

TEST(KanaVariant, CyclesWrapAround) {
    struct Case {
        std::string_view kana;
        std::optional<std::string_view> next;
    };
    const Case cases[] = {
        {"ほ", "ぼ"},         {"ぼ", "ぽ"},       {"ぽ", "ほ"},        {"さ", "ざ"}, {"ざ", "さ"},
        {"つ", "っ"},         {"っ", "づ"},       {"づ", "つ"},        {"わ", "ゎ"}, {"ゔ", "う"},
        {"ん", std::nullopt}, {"", std::nullopt}, {"a", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KanaVariant::next(c.kana), c.next) << c.kana;
    }
}

TEST(Romaji, KeyStrokesOnBothLayouts) {
    struct Case {
        std::string_view kana;
        KeyboardLayoutKind layout;
        std::optional<Strokes> expected;
    };
    const Case cases[] = {
        {"っ", us, Strokes{{7, {}}, {17, {}}, {32, {}}}},
        {"ん", us, Strokes{{45, {}}, {45, {}}}},
        {"ん", jis, Strokes{{45, {}}, {45, {}}}},
        {"〜", us, Strokes{{50, kShift}}},
        {"〜", jis, Strokes{{24, kShift}}},
        {"「", us, Strokes{{33, {}}}},
        {"「", jis, Strokes{{30, {}}}},
        {"ー", jis, Strokes{{27, {}}}},
        {"？", jis, Strokes{{44, kShift}}},
        {"ゔ", us, Strokes{{9, {}}, {32, {}}}},
        {"7", jis, Strokes{{26, {}}}},
        {"(", us, Strokes{{25, kShift}}},
        {"(", jis, Strokes{{28, kShift}}},
        {"\\", jis, Strokes{{93, kOption}}},
        {"ア", us, std::nullopt},
        {"a", us, std::nullopt},  // letters are not in the romaji table
        {"", us, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Romaji::keyStrokes(c.kana, c.layout), c.expected)
            << c.kana << (c.layout == jis ? " jis" : " us");
    }
    EXPECT_EQ(Romaji::keys("し"), "si");
    EXPECT_EQ(Romaji::keys("ア"), std::nullopt);
}

TEST(Romaji, EveryRomajiCanBeTypedOnBothLayouts) {
    const std::vector<std::string> kana{"あ", "か", "さ", "た", "な", "は", "ま", "や", "ら",
                                        "わ", "を", "ん", "が", "ぱ", "ぁ", "っ", "ゃ", "ゎ",
                                        "ゔ", "ー", "、", "。", "？", "！", "「", "」", "〜"};
    for (const auto& k : kana) {
        for (auto layout : allKeyboardLayoutKinds) {
            const auto strokes = Romaji::keyStrokes(k, layout);
            ASSERT_TRUE(strokes) << k;
            EXPECT_EQ(strokes->size(), Romaji::keys(k)->size()) << k;
        }
    }
    for (char c : std::string_view("0123456789()[].,-/%#$*+=<>:^|\\")) {
        const std::string s(1, c);
        EXPECT_EQ(Romaji::keys(s), s);
        EXPECT_TRUE(Romaji::keyStrokes(s, us)) << s;
        EXPECT_TRUE(Romaji::keyStrokes(s, jis)) << s;
    }
}

TEST(Romaji, LetterCodesComeFromTheShortcutCatalogue) {
    EXPECT_EQ(Romaji::letterCode('a'), 0);
    EXPECT_EQ(Romaji::letterCode('b'), 11);
    EXPECT_EQ(Romaji::letterCode('z'), 6);
    EXPECT_EQ(Romaji::letterCode('A'), std::nullopt);
    EXPECT_EQ(Romaji::letterCode('1'), std::nullopt);
}

TEST(CharacterMap, KeysPerLayout) {
    struct Case {
        std::string_view character;
        KeyboardLayoutKind layout;
        std::optional<KeyStroke> expected;
    };
    const Case cases[] = {
        {"\\", jis, KeyStroke{93, kOption}},
        {"\\", us, KeyStroke{42, {}}},
        {"a", us, std::nullopt},
        {"0", us, KeyStroke{29, {}}},
        {"0", jis, KeyStroke{29, {}}},
        {"@", us, KeyStroke{19, kShift}},
        {"@", jis, KeyStroke{33, {}}},
        {"¥", jis, KeyStroke{93, {}}},
        {"¥", us, std::nullopt},
        {"_", jis, KeyStroke{94, {}}},
        {"\"", us, KeyStroke{39, kShift}},
        {"\"", jis, KeyStroke{19, kShift}},
        {"'", jis, KeyStroke{26, kShift}},
        {"=", jis, KeyStroke{27, kShift}},
        {"", us, std::nullopt},
        {"--", us, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CharacterMap::key(c.character, c.layout), c.expected)
            << c.character << (c.layout == jis ? " jis" : " us");
    }
}

TEST(CharacterMap, EachLayoutTypesDistinctStrokes) {
    // No two characters of one layout share a stroke, or typing one would give the other.
    const std::string_view ascii = "-_=+[]{}\\|;:'\",<.>/?`~!@#$%^&*()0123456789";
    for (auto layout : allKeyboardLayoutKinds) {
        std::set<std::pair<std::uint16_t, std::uint8_t>> seen;
        int count = 0;
        for (char c : ascii) {
            if (auto stroke = CharacterMap::key(std::string_view(&c, 1), layout)) {
                ++count;
                EXPECT_TRUE(seen.insert({stroke->code, stroke->modifiers.rawValue}).second) << c;
            }
        }
        EXPECT_EQ(count, 42);  // every ASCII symbol and digit has a key on both
    }
}

}  // namespace
}  // namespace quelm
