#include "QuelmCore/ConnectionTarget.hpp"

#include <gtest/gtest.h>

#include "QuelmCore/ConnectionMode.hpp"

namespace quelm {
namespace {

const std::string kToken = "aB3-_xYz0123456789abcdefghijklmn";
const std::string kUrl = "quelmix://100.101.102.103:5290/#t=" + kToken;

TEST(ConnectionTarget, ShareStringAndWebSocketURL) {
    ConnectionTarget target{"100.101.102.103", 5290, kToken};
    EXPECT_EQ(target.shareString(), kUrl);
    EXPECT_TRUE(target.hasHostToken());
    EXPECT_EQ(target.webSocketURL(), "ws://100.101.102.103:5290/ws");

    ConnectionTarget vnc{"100.101.102.103", 5290, ""};
    EXPECT_EQ(vnc.shareString(), "quelmix://100.101.102.103:5290/#vnc");
    EXPECT_FALSE(vnc.hasHostToken());
    EXPECT_EQ(ConnectionTarget::vncPort, 5900);
}

TEST(ConnectionTarget, WebSocketURLNeedsAHostThatStaysTheHost) {
    EXPECT_EQ((ConnectionTarget{"my-mac.tail1234.ts.net", 80, "t"}.webSocketURL()),
              "ws://my-mac.tail1234.ts.net:80/ws");
    for (const char* host :
         {"", "a b", "evil.example/x", "u@h", "h#x", "h?x", "h:1", "::1", "%zz", "日本"}) {
        EXPECT_EQ((ConnectionTarget{host, 5290, "t"}.webSocketURL()), std::nullopt) << host;
    }
}

TEST(ConnectionTarget, ParsesWhatItShares) {
    const ConnectionTarget expected{"100.101.102.103", 5290, kToken};
    const std::string accepted[] = {
        kUrl,
        "  " + kUrl + "\n",
        "\t" + kUrl + "\r\n",
        "\u3000" + kUrl + "\u00A0",
        "quelmix://100.101.102.103/#t=" + kToken,
        "quelmix://100.101.102.103:5290#t=" + kToken,
        "quelmix://100.101.102.103:/any/path?q=1#t=" + kToken,
        "quelmix://100.101.102.103:70000/#t=" + kToken,  // out of range: the default port
    };
    for (const auto& text : accepted) {
        EXPECT_EQ(ConnectionTarget::parse(text), expected) << text;
    }
    EXPECT_EQ(ConnectionTarget::parse("quelmix://100.64.0.1:6000/#t=x"),
              (ConnectionTarget{"100.64.0.1", 6000, "x"}));
    EXPECT_EQ(ConnectionTarget::parse("quelmix://my-mac.tail1234.ts.net/#t=x"),
              (ConnectionTarget{"my-mac.tail1234.ts.net", 5290, "x"}));
}

TEST(ConnectionTarget, ParseRefusals) {
    const std::string refused[] = {
        "",
        "QUELMIX://100.101.102.103:5290/#t=abc",
        "https://100.101.102.103:5290/#t=abc",
        "//100.101.102.103:5290/#t=abc",
        "100.101.102.103:5290/#t=abc",
        "quelmix://100.101.102.103:5290/",
        "quelmix:100.101.102.103#t=abc",
        "quelmix://100.20.1.1/#t=abc",
        "quelmix://192.168.1.2/#t=abc",
        "quelmix://MY-MAC.TAIL1234.TS.NET/#t=abc",
        "quelmix://evil.example%2Fmy.ts.net/#t=abc",
        "quelmix://100.101.102.103/#t=",
        "quelmix://100.101.102.103/#token=abc",
        "quelmix://100.101.102.103/#VNC",
        "quelmix://100.101.102.103/#",
        "quelmix://100.101.102.103:52a0/#t=abc",
        "quelmix://100.101.102.103/#t=a b",
        "quelmix://-mac/#vnc",
        "quelmix://mac_book/#vnc",
        "quelmix://1.2.3/#vnc",
    };
    for (const auto& text : refused) {
        EXPECT_EQ(ConnectionTarget::parse(text), std::nullopt) << text;
    }
}

TEST(ConnectionTarget, ScreenSharingUrlsTakeAnyValidHost) {
    EXPECT_EQ(ConnectionTarget::parse("quelmix://192.168.1.2/#vnc"),
              (ConnectionTarget{"192.168.1.2", 5290, ""}));
    EXPECT_EQ(ConnectionTarget::parse("quelmix://My-Mac:5901/#vnc"),
              (ConnectionTarget{"My-Mac", 5901, ""}));
    auto vnc = ConnectionTarget::parse("quelmix://my-mac/#vnc");
    ASSERT_TRUE(vnc);
    EXPECT_FALSE(vnc->hasHostToken());
    EXPECT_TRUE(usesVNC(ConnectionMode::automatic, vnc->hasHostToken(), true));
}

TEST(ConnectionTarget, HostChecks) {
    const std::vector<std::pair<std::string, bool>> valid = {
        {"my-mac.local", true},
        {"1.2.3.4", true},
        {"0.0.0.0", true},
        {"a-", true},
        {"1.2.3", false},
        {"1.2.3.256", false},
        {"1.2.3.4.5", false},
        {"1.2..3", false},
        {"a..b", false},
        {".a", false},
        {"-a", false},
        {"mac_book", false},
        {"", false},
        {"::1", false},
        {"a b", false},
        {std::string(253, 'a'), true},
        {std::string(254, 'a'), false},
    };
    for (const auto& [host, expected] : valid) {
        EXPECT_EQ(ConnectionTarget::isValidHost(host), expected) << host;
    }
    EXPECT_EQ(ConnectionTarget::normalizedHost(" My-Mac.Local. "), "my-mac.local");
    EXPECT_EQ(ConnectionTarget::normalizedHost("mac.."), "mac.");  // only one dot goes
    EXPECT_EQ(ConnectionTarget::normalizedHost("A..b"), std::nullopt);
    EXPECT_EQ(ConnectionTarget::normalizedHost("  "), std::nullopt);
    EXPECT_EQ(ConnectionTarget::manual("\tNAS.local\n"), (ConnectionTarget{"nas.local", 5290, ""}));
    EXPECT_EQ(ConnectionTarget::manual("bad host"), std::nullopt);
}

TEST(ConnectionTarget, ProtectedNetworkHosts) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"100.64.0.1", true},     {"my-mac.tail1234.ts.net", true},
        {"mac.local", true},      {"mymac", true},
        {"10.1.2.3", true},       {"172.16.0.1", true},
        {"172.31.255.255", true}, {"192.168.0.1", true},
        {"10.1.2.3.", true},      {"172.32.0.1", false},
        {"203.0.113.5", false},   {"12345", false},
        {"nas.lan", false},       {"", false},
        {"10.1.2", false},        {"10.1.2.3.4", false},
        {"10.1.2.256", false},    {"192.169.0.1", false},
        {"MAC.LOCAL", false},
    };
    for (const auto& [host, expected] : cases) {
        EXPECT_EQ(ConnectionTarget::isProtectedNetworkHost(host), expected) << host;
    }
}

TEST(ConnectionMode, TitlesRawValuesAndChoice) {
    EXPECT_EQ(title(ConnectionMode::automatic), "自動");
    EXPECT_EQ(title(ConnectionMode::h264), "Veyra Devo（H.264）だけ");
    EXPECT_EQ(title(ConnectionMode::vnc), "画面共有（VNC）だけ");
    for (auto mode : allConnectionModes) {
        EXPECT_EQ(connectionMode(rawValue(mode)), mode);
    }
    EXPECT_EQ(rawValue(ConnectionMode::automatic), "auto");
    for (bool token : {false, true}) {
        for (bool reachable : {false, true}) {
            EXPECT_EQ(usesVNC(ConnectionMode::automatic, token, reachable), !(token && reachable));
            EXPECT_FALSE(usesVNC(ConnectionMode::h264, token, reachable));
            EXPECT_TRUE(usesVNC(ConnectionMode::vnc, token, reachable));
        }
    }
}

}  // namespace
}  // namespace quelm
