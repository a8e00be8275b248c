#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "QuelmHostKit/linux/session/DBusPowerAssertions.hpp"
#include "tests/fakes/ChildProcess.hpp"

namespace quelm {
namespace {

constexpr const char* kManager = R"(<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit">
      <arg type="s" name="what" direction="in"/>
      <arg type="s" name="who" direction="in"/>
      <arg type="s" name="why" direction="in"/>
      <arg type="s" name="mode" direction="in"/>
      <arg type="h" name="fd" direction="out"/>
    </method>
  </interface>
</node>)";

// logind's Inhibit on a private bus: records the request and hands out the write end of a
// pipe, whose read end sees the end of file once every copy of the inhibitor is closed.
struct FakeLogind {
    std::string what;
    std::string mode;
    int readEnd = -1;

    static void call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
        auto* self = static_cast<FakeLogind*>(data);
        const gchar* what = nullptr;
        const gchar* mode = nullptr;
        g_variant_get(parameters, "(&s&s&s&s)", &what, nullptr, nullptr, &mode);
        self->what = what;
        self->mode = mode;
        int ends[2];
        if (pipe(ends) != 0) {
            g_dbus_method_invocation_return_dbus_error(invocation, "test.Failed", "no pipe");
            return;
        }
        self->readEnd = ends[0];
        GUnixFDList* fds = g_unix_fd_list_new();
        g_unix_fd_list_append(fds, ends[1], nullptr);
        close(ends[1]);
        g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0),
                                                                fds);
        g_object_unref(fds);
    }
};

bool pumpUntil(const std::function<bool()>& done, double seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(DBusPowerAssertions, KeepAwakeHoldsOffIdleSuspendOnlyAndGivesItBack) {
    const auto daemon = test::ChildProcess::find("dbus-daemon");
    if (daemon.empty()) {
        GTEST_SKIP() << "dbus-daemon (package dbus) is not installed";
    }
    // A private bus stands in for the system bus: nothing reaches the machine's logind.
    test::ChildProcess bus({daemon, "--session", "--nofork", "--print-address=1"},
                           test::ChildProcess::piped({"PATH=/usr/bin:/bin"}));
    const auto address = bus.nextLine(10);
    ASSERT_TRUE(address) << bus.errors();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address->c_str(), 1);

    GError* error = nullptr;
    GDBusConnection* service = g_dbus_connection_new_for_address_sync(
        address->c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    ASSERT_TRUE(service) << (error ? error->message : "");
    FakeLogind logind;
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kManager, nullptr);
    GDBusInterfaceVTable table{FakeLogind::call, nullptr, nullptr, {}};
    const guint object = g_dbus_connection_register_object(
        service, "/org/freedesktop/login1", node->interfaces[0], &table, &logind, nullptr, nullptr);
    ASSERT_NE(object, 0u);
    const guint name =
        g_bus_own_name_on_connection(service, "org.freedesktop.login1", G_BUS_NAME_OWNER_FLAGS_NONE,
                                     nullptr, nullptr, nullptr, nullptr);
    pumpUntil([] { return false; }, 0.2);

    auto power = DBusPowerAssertions::create();
    const auto id = power->create(PowerAssertions::Kind::preventIdleSystemSleep, "testing");
    ASSERT_TRUE(pumpUntil([&] { return logind.readEnd >= 0; }));
    // "idle" alone: the desktop's idle suspend waits, a suspend the user asks for does not.
    EXPECT_EQ(logind.what, "idle");
    EXPECT_EQ(logind.mode, "block");
    pumpUntil([] { return false; }, 0.2);  // the reply reaches the assertions

    pollfd held{logind.readEnd, POLLIN, 0};
    EXPECT_EQ(poll(&held, 1, 0), 0) << "the inhibitor was given back at once";
    power->release(id);
    EXPECT_TRUE(pumpUntil([&] {
        pollfd released{logind.readEnd, POLLIN, 0};
        return poll(&released, 1, 0) == 1;
    })) << "the inhibitor is still held";

    close(logind.readEnd);
    g_bus_unown_name(name);
    g_dbus_connection_unregister_object(service, object);
    g_dbus_node_info_unref(node);
    g_dbus_connection_close_sync(service, nullptr, nullptr);
    g_object_unref(service);
}

}  // namespace
}  // namespace quelm
