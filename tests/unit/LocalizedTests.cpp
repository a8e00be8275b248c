#include "QuelmCore/Localized.hpp"

#include <gtest/gtest.h>

namespace quelm {
namespace {

TEST(Localized, DefaultTextIsTheKey) {
    EXPECT_EQ(localized("自宅Wi-Fi", "ja"), "自宅Wi-Fi");
    EXPECT_EQ(localized("外出", ""), "外出");
    EXPECT_EQ(localized("節約", "xx"), "節約");
    EXPECT_EQ(localized("自動"), "自動");
}

}  // namespace
}  // namespace quelm
