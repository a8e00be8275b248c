#include <gtest/gtest.h>

#include <map>

#include "QuelmHostKit/input/KeyboardTypes.hpp"

namespace quelm {
namespace {

using KeyboardTypes::Layout;

EventPoster::LayoutFunction table(std::map<int, const char*> codes) {
    return [codes](std::int16_t type) -> std::uint32_t {
        const auto it = codes.find(type);
        return it == codes.end() ? 0 : KeyboardTypes::fourCC(it->second);
    };
}

TEST(KeyboardTypesTest, FourCharacterCodesFoldBigEndian) {
    EXPECT_EQ(KeyboardTypes::fourCC("ANSI"), 0x414E5349u);
    EXPECT_EQ(KeyboardTypes::fourCC("ISO "), 0x49534F20u);
    EXPECT_EQ(KeyboardTypes::fourCC("JIS "), 0x4A495320u);
}

TEST(KeyboardTypesTest, ClosestPrefersTheFamilyThenTheNearestType) {
    const auto family = table({{40, "ANSI"}, {41, "ISO "}, {42, "JIS "}});
    const auto sparse = table({{10, "JIS "}, {200, "JIS "}});
    const auto tie = table({{90, "JIS "}, {110, "JIS "}});
    struct Case {
        const char* name;
        EventPoster::LayoutFunction function;
        int type;
        Layout wanted;
        std::optional<int> expected;
    };
    const Case cases[] = {
        {"ISO to JIS in the family", family, 41, Layout::jis, 42},
        {"JIS to ANSI in the family", family, 42, Layout::ansi, 40},
        {"nearest of the whole range", sparse, 100, Layout::jis, 10},
        {"a tie goes to the smaller type", tie, 100, Layout::jis, 90},
        {"above 255 counts from 255", sparse, 400, Layout::jis, 200},
        {"the type itself when it has the layout", family, 41, Layout::iso, 41},
        {"none with the layout", sparse, 100, Layout::ansi, std::nullopt},
        {"no layout function", nullptr, 40, Layout::ansi, std::nullopt},
        {"no layout function: every type is other", nullptr, 40, Layout::other, 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(KeyboardTypes::closest(c.type, c.wanted, c.function), c.expected);
    }
}

TEST(KeyboardTypesTest, LayoutOfATypeAboveTheRangeIsOther) {
    const auto all = [](std::int16_t) { return KeyboardTypes::fourCC("JIS "); };
    EXPECT_EQ(KeyboardTypes::layout(300, all), Layout::other);
    EXPECT_EQ(KeyboardTypes::layout(255, all), Layout::jis);
    EXPECT_EQ(KeyboardTypes::layout(10, nullptr), Layout::other);
}

}  // namespace
}  // namespace quelm
