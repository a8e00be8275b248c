#include "QuelmCore/PeerPolicy.hpp"

#include <gtest/gtest.h>

namespace quelm {
namespace {

TEST(PeerPolicy, TailscaleRangeNeedsAStrictDottedAddress) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"100.64.0.1", true},      {"100.127.255.255", true}, {"100.064.0.1", true},
        {"100.101.102.103", true}, {"100.63.255.255", false}, {"100.128.0.1", false},
        {"10.64.0.1", false},      {"100.64.0", false},       {"100.64.0.1.5", false},
        {"100..0.1", false},       {"100.64.0.256", false},   {"100.64.0.1000", false},
        {"100.64.0.a", false},     {" 100.64.0.1", false},    {"100.64.0.1 ", false},
        {"100.64.0.", false},      {".100.64.0.1", false},    {"", false},
        {"100.64.0.-1", false},    {"0100.64.0.1", false},    {"fd7a:115c:a1e0::1", false},
    };
    for (const auto& [address, expected] : cases) {
        EXPECT_EQ(PeerPolicy::isTailscale(address), expected) << address;
    }
}

TEST(PeerPolicy, LocalPeersFollowTheSwitchAndOthersMustBeTailscale) {
    struct Case {
        std::string host;
        std::optional<std::string_view> own;
        bool allowLocal;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", std::nullopt, true, true},
        {"127.0.0.1", std::nullopt, false, false},
        {"::1", std::nullopt, true, true},
        {"::1", std::nullopt, false, false},
        {"100.101.102.103", "100.101.102.103", false, false},
        {"100.101.102.103", "100.101.102.103", true, true},
        {"100.100.1.2", "100.101.102.103", false, true},
        {"100.100.1.2", std::nullopt, true, true},
        {"192.168.0.2", std::nullopt, true, false},
        {"fe80::1", std::nullopt, true, false},
        {"127.0.0.2", std::nullopt, true, false},
        {"my-mac", std::nullopt, true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PeerPolicy::isAllowed(c.host, c.own, c.allowLocal), c.expected)
            << c.host << " local " << c.allowLocal;
    }
}

TEST(PeerPolicy, ConstantTimeEqualComparesWholeSecrets) {
    EXPECT_TRUE(PeerPolicy::constantTimeEqual("abc", "abc"));
    EXPECT_TRUE(PeerPolicy::constantTimeEqual("", ""));
    EXPECT_FALSE(PeerPolicy::constantTimeEqual("abc", "abd"));
    EXPECT_FALSE(PeerPolicy::constantTimeEqual("abc", "abcd"));
    EXPECT_FALSE(PeerPolicy::constantTimeEqual("xbc", "abc"));
    EXPECT_FALSE(PeerPolicy::constantTimeEqual("", "a"));
}

}  // namespace
}  // namespace quelm
