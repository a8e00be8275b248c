#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "QuelmHostKit/linux/input/DesktopOverview.hpp"
#include "tests/fakes/ChildProcess.hpp"

namespace quelm {
namespace {

using namespace std::chrono_literals;

struct Outcome {
    DesktopOverview::Result result;
    std::string failure;
};

// A session bus of the test's own, with a desktop shell on it that answers only while the test
// lets its main context run.
class DesktopOverviewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string daemon = test::ChildProcess::find("dbus-daemon");
        if (daemon.empty()) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        folder = std::filesystem::temp_directory_path() /
                 ("quelm-overview-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder);
        address = "unix:path=" + (folder / "bus").string();
        bus = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{daemon, "--session", "--nofork", "--address=" + address});
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!std::filesystem::exists(folder / "bus") &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(std::filesystem::exists(folder / "bus")) << "dbus-daemon did not start";
        shellContext = g_main_context_new();
    }
    void TearDown() override {
        if (shell != nullptr) {
            g_dbus_connection_close_sync(shell, nullptr, nullptr);
            g_object_unref(shell);
        }
        if (shellContext != nullptr) {
            g_main_context_unref(shellContext);
        }
        bus.reset();
        std::filesystem::remove_all(folder);
    }

    // Puts a shell on the bus whose OverviewActive property is set through `shellContext`.
    void startShell() {
        GError* error = nullptr;
        shell = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        ASSERT_NE(shell, nullptr) << error->message;
        GVariant* owned = g_dbus_connection_call_sync(
            shell, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "org.gnome.Shell", 4u), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        ASSERT_NE(owned, nullptr) << error->message;
        g_variant_unref(owned);
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
            "<node><interface name='org.gnome.Shell'>"
            "<property name='OverviewActive' type='b' access='readwrite'/>"
            "</interface></node>",
            nullptr);
        static const GDBusInterfaceVTable vtable{
            nullptr,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**,
               gpointer) -> GVariant* { return g_variant_new_boolean(FALSE); },
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
               GVariant* value, GError**, gpointer self) -> gboolean {
                static_cast<DesktopOverviewTest*>(self)->overviewActive =
                    g_variant_get_boolean(value) != FALSE;
                return TRUE;
            },
            {}};
        g_main_context_push_thread_default(shellContext);
        const guint id = g_dbus_connection_register_object(
            shell, "/org/gnome/Shell", node->interfaces[0], &vtable, this, nullptr, &error);
        g_main_context_pop_thread_default(shellContext);
        g_dbus_node_info_unref(node);
        ASSERT_NE(id, 0u) << error->message;
    }

    // Runs the shell's context until the request is done.
    Outcome answer(std::future<Outcome>& outcome) {
        while (outcome.wait_for(10ms) != std::future_status::ready) {
            while (g_main_context_iteration(shellContext, FALSE)) {
            }
        }
        return outcome.get();
    }

    std::filesystem::path folder;
    std::string address;
    std::unique_ptr<test::ChildProcess> bus;
    GMainContext* shellContext = nullptr;
    GDBusConnection* shell = nullptr;
    std::atomic<bool> overviewActive{false};
};

std::future<Outcome> open(DesktopOverview& overview) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    overview.open([promise](DesktopOverview::Result result, const std::string& failure) {
        promise->set_value({result, failure});
    });
    return future;
}

TEST_F(DesktopOverviewTest, AShellThatAnswersOpensItsOverview) {
    startShell();
    DesktopOverview overview(address);
    auto outcome = open(overview);
    EXPECT_EQ(answer(outcome).result, DesktopOverview::Result::opened);
    EXPECT_TRUE(overviewActive);
}

TEST_F(DesktopOverviewTest, AHungShellHoldsUpOnlyItsOwnRequest) {
    startShell();  // its context is never run: the call waits for its time-out
    DesktopOverview overview(address);
    auto first = open(overview);
    EXPECT_EQ(first.wait_for(0s), std::future_status::timeout) << "open() waited for the shell";
    auto second = open(overview);
    ASSERT_EQ(second.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(second.get().result, DesktopOverview::Result::failed);

    ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
    const Outcome late = first.get();
    EXPECT_EQ(late.result, DesktopOverview::Result::failed);
    EXPECT_FALSE(late.failure.empty());
    auto third = open(overview);
    ASSERT_EQ(third.wait_for(10s), std::future_status::ready) << "busy after the time-out";
}

TEST_F(DesktopOverviewTest, WithoutAShellThereIsNoOverviewToOpen) {
    DesktopOverview overview(address);
    auto outcome = open(overview);
    ASSERT_EQ(outcome.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(outcome.get().result, DesktopOverview::Result::noShell);
}

}  // namespace
}  // namespace quelm
