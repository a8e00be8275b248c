#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "QuelmHostKit/linux/input/DBusInputMethods.hpp"
#include "QuelmHostKit/linux/x11/X11EventPoster.hpp"
#include "QuelmHostKit/linux/x11/X11KeyCodes.hpp"

namespace quelm {
namespace {

// An _XSETTINGS_SETTINGS property, little-endian, from (type, name, integer or string) rows.
struct Setting {
    std::uint8_t type;
    std::string name;
    std::int32_t number = 0;
    std::string text;
};

std::vector<std::uint8_t> xsettings(const std::vector<Setting>& settings) {
    std::vector<std::uint8_t> bytes{0, 0, 0, 0};
    auto put32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    };
    auto pad = [&] {
        while (bytes.size() % 4 != 0) {
            bytes.push_back(0);
        }
    };
    put32(7);  // serial
    put32(static_cast<std::uint32_t>(settings.size()));
    for (const auto& s : settings) {
        bytes.push_back(s.type);
        bytes.push_back(0);
        bytes.push_back(static_cast<std::uint8_t>(s.name.size()));
        bytes.push_back(static_cast<std::uint8_t>(s.name.size() >> 8));
        bytes.insert(bytes.end(), s.name.begin(), s.name.end());
        pad();
        put32(0);  // last change
        if (s.type == 0) {
            put32(static_cast<std::uint32_t>(s.number));
        } else if (s.type == 1) {
            put32(static_cast<std::uint32_t>(s.text.size()));
            bytes.insert(bytes.end(), s.text.begin(), s.text.end());
            pad();
        } else {
            put32(0);
            put32(0);
        }
    }
    return bytes;
}

TEST(InputPlatformParsingTest, DoubleClickTimeComesFromXSettings) {
    const auto full = xsettings({{1, "Net/ThemeName", 0, "Adwaita"},
                                 {2, "Gtk/Colour"},
                                 {0, "Net/DndDragThreshold", 8},
                                 {0, "Net/DoubleClickTime", 250}});
    EXPECT_EQ(X11EventPoster::doubleClickTime(full), 250);
    EXPECT_EQ(X11EventPoster::doubleClickTime(xsettings({{0, "Net/DndDragThreshold", 8}})),
              std::nullopt);
    // Cut anywhere before its value ends, the property is refused rather than read past its end.
    for (std::size_t size = 0; size < full.size(); ++size) {
        const std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(size));
        EXPECT_EQ(X11EventPoster::doubleClickTime(cut), std::nullopt) << size;
    }
}

TEST(InputPlatformParsingTest, KeyboardKindFollowsTheXkbModelAndFirstLayout) {
    struct Case {
        const char* model;
        const char* layouts;
        KeyboardLayoutKind expected;
    };
    for (const auto& c :
         {Case{"pc105", "us", KeyboardLayoutKind::us}, Case{"pc105", "jp", KeyboardLayoutKind::jis},
          Case{"jp106", "us", KeyboardLayoutKind::jis},
          Case{"pc105", "jp,us", KeyboardLayoutKind::jis},
          Case{"pc105", "us,jp", KeyboardLayoutKind::us},
          Case{"pc105", "", KeyboardLayoutKind::us}}) {
        EXPECT_EQ(X11EventPoster::keyboardKind(c.model, c.layouts), c.expected)
            << c.model << " " << c.layouts;
    }
}

TEST(InputPlatformParsingTest, IBusEnginesAndAddressFiles) {
    EXPECT_TRUE(DBusInputMethods::isASCIICapableIBusEngine("xkb:us::eng"));
    EXPECT_TRUE(DBusInputMethods::isASCIICapableIBusEngine("xkb:jp::jpn"));
    EXPECT_FALSE(DBusInputMethods::isASCIICapableIBusEngine("xkb:ru::rus"));
    EXPECT_FALSE(DBusInputMethods::isASCIICapableIBusEngine("mozc-jp"));
    EXPECT_FALSE(DBusInputMethods::isASCIICapableIBusEngine("anthy"));
    EXPECT_EQ(DBusInputMethods::addressFromFile("# comment\nIBUS_ADDRESS=unix:abstract=/tmp/x,"
                                                "guid=1\nIBUS_DAEMON_PID=42\n"),
              "unix:abstract=/tmp/x,guid=1");
    EXPECT_EQ(DBusInputMethods::addressFromFile("IBUS_DAEMON_PID=42\n"), std::nullopt);
}

TEST(InputPlatformParsingTest, KeyCodesFollowTheEvdevCodesPlusEight) {
    struct Case {
        std::uint16_t virtualKey;
        std::optional<int> xKeyCode;
    };
    for (const auto& c : {Case{0, 38},             // A
                          Case{36, 36},            // return
                          Case{56, 50},            // shift
                          Case{123, 113},          // left
                          Case{90, 198},           // F20
                          Case{93, 132},           // JIS yen
                          Case{94, 97},            // JIS underscore
                          Case{102, 102},          // eisu: Muhenkan
                          Case{104, 101},          // kana: Hiragana_Katakana
                          Case{114, 118},          // help: insert
                          Case{63, std::nullopt},  // fn
                          Case{127, std::nullopt}, Case{500, std::nullopt}}) {
        const auto code = X11KeyCodes::xKeyCode(c.virtualKey);
        EXPECT_EQ(code ? std::optional<int>(*code) : std::nullopt, c.xKeyCode) << c.virtualKey;
    }
}

}  // namespace
}  // namespace quelm
