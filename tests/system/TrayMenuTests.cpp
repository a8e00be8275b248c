#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <string>

#include "QuelmHost/TrayFrontEnd.hpp"
#include "tests/fakes/FakeLoginItem.hpp"
#include "tests/fakes/FakePasteboard.hpp"
#include "tests/fakes/FakePermissions.hpp"
#include "tests/fakes/ManualQueue.hpp"
#include "tests/fakes/MemorySettingsStore.hpp"
#include "tests/fakes/PrivateXvfb.hpp"
#include "tests/fakes/RecordingPowerAssertions.hpp"

namespace quelm {
namespace {

// The tray's GTK menu on a private X server; no StatusNotifier host shows it, which changes
// nothing about the menu the indicator exports.
TEST(TrayMenu, QuitCarriesItsKeyEquivalentAsAShortcut) {
    std::string why;
    auto xvfb = test::PrivateXvfb::start(why);
    if (!xvfb) {
        GTEST_SKIP() << "no private X server: " << why;
    }
    setenv("DISPLAY", xvfb->name().c_str(), 1);
    // No session bus: the indicator must not reach the user's own.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    if (!gtk_init_check(nullptr, nullptr)) {
        GTEST_SKIP() << "GTK did not start on the private X server";
    }
    auto main = std::make_shared<test::ManualQueue>();
    StatusMenu::Services services;
    services.mainQueue = main;
    services.pasteboard = std::make_shared<test::FakePasteboard>(main);
    services.settings = std::make_shared<test::MemorySettingsStore>();
    services.power = std::make_shared<test::RecordingPowerAssertions>();
    services.loginItem = std::make_shared<test::FakeLoginItem>();
    services.permissions = std::make_shared<test::FakePermissions>();
    services.tailscaleAddress = [] { return std::optional<std::string>(); };
    services.token = [] { return std::optional<std::string>(); };
    services.setLocalAllowed = [](bool) {};
    services.regenerateSecret = [] {};
    auto menu = StatusMenu::create(std::move(services));
    {
        TrayFrontEnd tray(menu, std::make_shared<NeverCaptureRegistry>(), main, [] {});
        tray.begin();

        int shortcuts = 0;
        GList* items = gtk_container_get_children(GTK_CONTAINER(tray.menu()));
        for (GList* item = items; item; item = item->next) {
            GtkWidget* widget = GTK_WIDGET(item->data);
            GList* closures = gtk_widget_list_accel_closures(widget);
            for (GList* closure = closures; closure; closure = closure->next) {
                auto* group =
                    gtk_accel_group_from_accel_closure(static_cast<GClosure*>(closure->data));
                ASSERT_TRUE(group);
                GtkAccelKey* key = gtk_accel_group_find(
                    group,
                    [](GtkAccelKey*, GClosure* found, gpointer wanted) -> gboolean {
                        return found == wanted;
                    },
                    closure->data);
                ASSERT_TRUE(key);
                EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(widget)), "終了");
                EXPECT_EQ(key->accel_key, static_cast<guint>(GDK_KEY_q));
                EXPECT_EQ(key->accel_mods, GDK_CONTROL_MASK);
                ++shortcuts;
            }
            g_list_free(closures);
        }
        g_list_free(items);
        EXPECT_EQ(shortcuts, 1);
    }
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

}  // namespace
}  // namespace quelm
