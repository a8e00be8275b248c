#include <gtest/gtest.h>

#include <optional>

#include "QuelmCore/companion/HIDKeys.hpp"

namespace quelm {
namespace {

TEST(HIDKeys, TranslatesUsagesToVirtualKeyCodes) {
    struct Case {
        std::int64_t usage;
        std::optional<std::uint16_t> code;
    };
    const Case cases[] = {
        {4, 0},
        {29, 6},
        {30, 18},
        {39, 29},
        {58, 122},
        {69, 111},
        {40, 36},
        {49, 42},
        {50, 42},
        {57, 57},
        {88, 76},
        {100, 10},
        {135, 94},
        {137, 93},
        {144, HIDKeys::kana},
        {145, HIDKeys::eisu},
        {227, HIDKeys::leftCommand},
        {231, HIDKeys::rightCommand},
        {224, 59},
        {80, 123},
        // Outside the table: error usages, keypad, F13, media, beyond the last usage.
        {0, {}},
        {1, {}},
        {3, {}},
        {89, {}},
        {104, {}},
        {127, {}},
        {232, {}},
        {-1, {}},
        {65535, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HIDKeys::macKeyCode(c.usage), c.code) << "usage " << c.usage;
    }
}

TEST(HIDKeys, TableHasNinetyEntries) {
    int mapped = 0;
    for (std::int64_t usage = 0; usage < 1024; ++usage) {
        mapped += HIDKeys::macKeyCode(usage).has_value();
    }
    EXPECT_EQ(mapped, 90);
}

}  // namespace
}  // namespace quelm
