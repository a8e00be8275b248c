#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <vector>

#include "QuelmHostKit/server/Net.hpp"

namespace quelm {
namespace {

Net::InterfaceAddress ipv4(const char* text, bool up = true) {
    Net::InterfaceAddress entry;
    entry.hasAddress = true;
    entry.up = up;
    entry.family = AF_INET;
    inet_pton(AF_INET, text, &entry.ipv4);
    return entry;
}

Net::InterfaceAddress other(int family, bool hasAddress = true) {
    Net::InterfaceAddress entry;
    entry.hasAddress = hasAddress;
    entry.up = true;
    entry.family = family;
    return entry;
}

TEST(NetTailscaleIPv4, PicksTheFirstUpTailscaleAddressInListOrder) {
    struct Case {
        const char* name;
        std::vector<Net::InterfaceAddress> entries;
        std::optional<std::string> expected;
    };
    std::vector<Case> cases = {
        {"LAN and Tailscale", {ipv4("192.168.1.20"), ipv4("100.101.102.103")}, "100.101.102.103"},
        {"Tailscale down", {ipv4("192.168.1.20"), ipv4("100.101.102.103", false)}, std::nullopt},
        {"no interfaces", {}, std::nullopt},
        {"first of two wins", {ipv4("100.64.0.1"), ipv4("100.127.255.255")}, "100.64.0.1"},
        {"range edges",
         {ipv4("100.63.255.255"), ipv4("100.128.0.1"), ipv4("10.64.0.1")},
         std::nullopt},
        {"entries without address or not IPv4 are skipped",
         {other(AF_INET, false), other(AF_INET6), other(AF_PACKET), ipv4("100.100.0.7")},
         "100.100.0.7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Net::firstTailscaleIPv4(c.entries), c.expected);
    }
}

TEST(NetTailscaleIPv4, RealInterfaceListGivesNothingOrATailscaleAddress) {
    // The test machine may or may not be on Tailscale; whatever comes back must be in range.
    auto address = Net::tailscaleIPv4();
    if (address) {
        in_addr parsed{};
        ASSERT_EQ(inet_pton(AF_INET, address->c_str(), &parsed), 1);
        EXPECT_EQ(ntohl(parsed.s_addr) & 0xFFC00000u, 0x64400000u);
    }
}

}  // namespace
}  // namespace quelm
