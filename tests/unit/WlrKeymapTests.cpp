#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <set>

#include "QuelmHostKit/linux/wayland/wlr/WlrKeymap.hpp"
#include "QuelmHostKit/linux/wayland/wlr/WlrOutputs.hpp"

namespace quelm {
namespace {

// The keysym the compiled keymap gives an evdev code on its first level.
xkb_keysym_t keysymAt(const WlrKeymap& keymap, std::uint32_t code) {
    const xkb_keysym_t* syms = nullptr;
    const int count = xkb_keymap_key_get_syms_by_level(keymap.keymap(), code + 8, 0, 0, &syms);
    return count > 0 ? syms[0] : XKB_KEY_NoSymbol;
}

TEST(WlrKeymapTest, TextKeysymsLandOnSpareCodesThatKeepThemUntilRoomRunsOut) {
    WlrKeymap keymap;
    ASSERT_TRUE(keymap.valid());
    ASSERT_GT(keymap.spareCount(), 8u);
    const std::vector<std::uint32_t> text = {xkb_utf32_to_keysym(U'日'), XKB_KEY_eacute,
                                             xkb_utf32_to_keysym(U'😀'), XKB_KEY_eacute};
    bool changed = false;
    auto codes = keymap.place(text, changed);
    ASSERT_TRUE(codes);
    EXPECT_TRUE(changed);
    ASSERT_EQ(codes->size(), 4u);
    EXPECT_EQ((*codes)[1], (*codes)[3]) << "one code per keysym";
    for (std::size_t i = 0; i < text.size(); ++i) {
        EXPECT_EQ(keysymAt(keymap, (*codes)[i]), text[i]);
    }
    EXPECT_NE(keymap.text().find("U65E5"), std::string::npos) << "the text sent holds them";
    // Shifted letters and the silent code are left alone.
    EXPECT_EQ(keysymAt(keymap, 30), XKB_KEY_a);
    ASSERT_TRUE(keymap.silentCode());
    EXPECT_EQ(keysymAt(keymap, *keymap.silentCode()), XKB_KEY_NoSymbol);

    // Keysyms already placed need no new keymap.
    auto again = keymap.place({XKB_KEY_eacute}, changed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(again, std::vector<std::uint32_t>{(*codes)[1]});

    // More distinct keysyms than spare codes at once: refused; as many as fit: room is made.
    std::vector<std::uint32_t> many;
    for (std::uint32_t i = 0; i < keymap.spareCount(); ++i) {
        many.push_back(xkb_utf32_to_keysym(0x4E00 + i));
    }
    EXPECT_FALSE(keymap.place(many, changed));
    many.pop_back();
    auto full = keymap.place(many, changed);
    ASSERT_TRUE(full);
    EXPECT_EQ(std::set<std::uint32_t>(full->begin(), full->end()).size(), many.size());
    EXPECT_EQ(keysymAt(keymap, full->back()), many.back());
}

TEST(WlrKeymapTest, TheLayoutIsTheSessionsWhereItNamesOne) {
    struct Case {
        const char* layout;
        xkb_keysym_t z;
        xkb_keysym_t rightAlt;
    };
    for (const Case& c : {Case{"de", XKB_KEY_y, XKB_KEY_ISO_Level3_Shift},
                          Case{"no-such-layout", XKB_KEY_z, XKB_KEY_Alt_R}}) {
        setenv("XKB_DEFAULT_LAYOUT", c.layout, 1);
        WlrKeymap keymap;
        unsetenv("XKB_DEFAULT_LAYOUT");
        ASSERT_TRUE(keymap.valid()) << c.layout;
        // The key by the left shift on US keyboards (Z) and the right Alt key.
        EXPECT_EQ(keysymAt(keymap, 44), c.z) << c.layout;
        EXPECT_EQ(keysymAt(keymap, 100), c.rightAlt) << c.layout;
        bool changed = false;
        EXPECT_TRUE(keymap.place({XKB_KEY_eacute}, changed)) << c.layout;
    }
}

TEST(WlrOutputsTest, ThePrimaryOutputIsTheOneAtTheOriginAndPanelsAreBuiltIn) {
    struct Case {
        const char* name;
        std::vector<WlrOutputs::Snapshot> outputs;
        std::vector<bool> primary;
        std::vector<bool> builtIn;
    };
    const std::vector<Case> cases = {
        {"origin second",
         {{1, "DP-1", {-1920, 0, 1920, 1080}, 1920, 1080},
          {2, "eDP-1", {0, 0, 1280, 800}, 2560, 1600}},
         {false, true},
         {false, true}},
        {"none at the origin",
         {{3, "HDMI-A-1", {100, 0, 800, 600}, 800, 600},
          {4, "LVDS-1", {900, 0, 800, 600}, 800, 600}},
         {true, false},
         {false, true}},
        {"none", {}, {}, {}},
    };
    for (const auto& c : cases) {
        const auto displays = WlrOutputs::describe(c.outputs);
        ASSERT_EQ(displays.size(), c.outputs.size()) << c.name;
        for (std::size_t i = 0; i < displays.size(); ++i) {
            EXPECT_EQ(displays[i].id, c.outputs[i].id) << c.name;
            EXPECT_EQ(displays[i].bounds, c.outputs[i].bounds) << c.name;
            EXPECT_EQ(displays[i].isPrimary, c.primary[i]) << c.name << " " << i;
            EXPECT_EQ(displays[i].isBuiltIn, c.builtIn[i]) << c.name << " " << i;
        }
    }
}

}  // namespace
}  // namespace quelm
