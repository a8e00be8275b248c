#include <gio/gio.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "QuelmHostKit/linux/LinuxSession.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterDisplayConfig.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterEventPoster.hpp"
#include "QuelmHostKit/linux/wayland/mutter/MutterPasteboard.hpp"

namespace quelm {
namespace {

TEST(LinuxSessionTest, TheSessionIsChosenFromWhatItShows) {
    struct Case {
        std::map<std::string, std::string> environment;
        bool mutter;
        bool wlroots;
        LinuxSessionKind expected;
    };
    const Case cases[] = {
        {{{"DISPLAY", ":0"}}, true, true, LinuxSessionKind::x11},
        {{{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}},
         true,
         false,
         LinuxSessionKind::gnomeWayland},
        {{{"XDG_SESSION_TYPE", "wayland"}}, true, false, LinuxSessionKind::gnomeWayland},
        {{{"WAYLAND_DISPLAY", "wayland-1"}}, false, true, LinuxSessionKind::wlrootsWayland},
        // KDE and others: XWayland when there is one, else nothing to serve.
        {{{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":1"}},
         false,
         false,
         LinuxSessionKind::x11},
        {{{"WAYLAND_DISPLAY", "wayland-0"}}, false, false, LinuxSessionKind::unsupportedWayland},
        {{{"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", "x11"}, {"DISPLAY", ":0"}},
         true,
         true,
         LinuxSessionKind::x11},
    };
    for (const auto& c : cases) {
        int probes = 0;
        const auto facts = LinuxSession::observe(
            [&](const char* name) -> const char* {
                auto found = c.environment.find(name);
                return found == c.environment.end() ? nullptr : found->second.c_str();
            },
            [&] {
                ++probes;
                return c.mutter;
            },
            [&] {
                ++probes;
                return c.wlroots;
            });
        EXPECT_EQ(LinuxSession::choose(facts), c.expected);
        // An X11 session never waits on the session bus or a Wayland display.
        if (!facts.wayland) {
            EXPECT_EQ(probes, 0);
        }
    }
}

TEST(LinuxSessionTest, TheLogSaysWhenOnlyXWaylandIsLeft) {
    LinuxSessionFacts facts;
    facts.wayland = true;
    facts.xDisplay = true;
    EXPECT_NE(LinuxSession::describe(LinuxSessionKind::x11, facts).find("XWayland"),
              std::string::npos);
}

GVariant* parse(const char* text) {
    GError* error = nullptr;
    GVariant* value = g_variant_parse(nullptr, text, nullptr, nullptr, &error);
    EXPECT_NE(value, nullptr) << (error ? error->message : "");
    g_clear_error(&error);
    return value;
}

TEST(MutterDisplayConfigTest, MonitorsComeFromTheLogicalLayoutWithTheirCurrentModes) {
    // Two logical monitors in the logical layout; the second at scale 2 holds two mirrored
    // monitors.
    GVariant* state = parse(
        "(uint32 7, "
        "[(('eDP-1', 'V', 'P', 'S1'), [('2560x1600@60', 2560, 1600, 60.0, 2.0, [1.0, 2.0], "
        "{'is-current': <true>}), ('1280x800@60', 1280, 800, 60.0, 1.0, [1.0], @a{sv} {})], "
        "{'is-builtin': <true>}), "
        "(('HDMI-1', 'V', 'P', 'S2'), [('1920x1080@60', 1920, 1080, 60.0, 1.0, [1.0], "
        "{'is-current': <true>})], @a{sv} {}), "
        "(('DP-2', 'V', 'P', 'S3'), [('1920x1080@60', 1920, 1080, 60.0, 1.0, [1.0], "
        "{'is-current': <true>})], @a{sv} {})], "
        "[(0, 0, 2.0, uint32 0, true, [('eDP-1', 'V', 'P', 'S1')], @a{sv} {}), "
        "(1280, 0, 1.0, uint32 0, false, [('HDMI-1', 'V', 'P', 'S2'), ('DP-2', 'V', 'P', 'S3')], "
        "@a{sv} {})], "
        "{'layout-mode': <uint32 1>})");
    const auto monitors = MutterDisplayConfig::parseCurrentState(state);
    g_variant_unref(state);
    ASSERT_EQ(monitors.size(), 3u);
    EXPECT_EQ(monitors[0], (MutterMonitor{"eDP-1", {0, 0, 1280, 800}, true, true, ""}));
    EXPECT_EQ(monitors[1], (MutterMonitor{"HDMI-1", {1280, 0, 1920, 1080}, false, false, ""}));
    EXPECT_EQ(monitors[2], (MutterMonitor{"DP-2", {1280, 0, 1920, 1080}, false, false, "HDMI-1"}));
}

TEST(MutterDisplayConfigTest, AReplyOfAnotherShapeGivesNoMonitors) {
    GVariant* other = parse("(uint32 1, 'x')");
    EXPECT_TRUE(MutterDisplayConfig::parseCurrentState(other).empty());
    g_variant_unref(other);
    EXPECT_TRUE(MutterDisplayConfig::parseCurrentState(nullptr).empty());
}

TEST(MutterDisplayIdsTest, AConnectorKeepsItsIdWhenItComesBack) {
    MutterDisplayIds ids;
    const auto first = ids.idFor("Meta-0");
    const auto second = ids.idFor("HDMI-1");
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(ids.idFor("Meta-0"), first);
}

TEST(MutterEventPosterTest, ASCIIGoesAsKeysymsAndTheRestThroughTheUnicodeEntry) {
    EXPECT_EQ(MutterEventPoster::plainKeysym(U'a'), 0x61u);
    EXPECT_EQ(MutterEventPoster::plainKeysym(U' '), 0x20u);
    EXPECT_EQ(MutterEventPoster::plainKeysym(U'\n'), 0xFF0Du);
    EXPECT_EQ(MutterEventPoster::plainKeysym(U'é'), std::nullopt);
    EXPECT_EQ(MutterEventPoster::unicodeEntryHex(U'é'), "e9");
    EXPECT_EQ(MutterEventPoster::unicodeEntryHex(U'日'), "65e5");
    EXPECT_EQ(MutterEventPoster::unicodeEntryHex(U'😀'), "1f600");
}

TEST(MutterPasteboardTest, TextIsOfferedUnderEveryTextNameAndOtherTypesByTheirMimeType) {
    using Item = Pasteboard::Item;
    const auto offered = MutterPasteboard::offeredMimeTypes(
        {Item{"public.utf8-plain-text", {}}, Item{"public.png", {}},
         Item{"org.nspasteboard.ConcealedType", {}}, Item{"public.plain-text", {}}});
    const std::vector<std::pair<std::string, std::size_t>> expected = {
        {"text/plain;charset=utf-8", 0},
        {"UTF8_STRING", 0},
        {"text/plain", 0},
        {"image/png", 1},
        {"x-kde-passwordManagerHint", 2},
        {"org.nspasteboard.ConcealedType", 2}};
    EXPECT_EQ(offered, expected);
}

}  // namespace
}  // namespace quelm
