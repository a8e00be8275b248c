#include "QuelmHostKit/linux/input/DesktopOverview.hpp"

#include <gio/gio.h>

namespace quelm {

namespace {

constexpr int kTimeoutMs = 1000;

enum class Outcome { done, absent, refused };

Outcome callShell(GDBusConnection* bus, const char* name, const char* path, const char* interface,
                  const char* method, GVariant* parameters, std::string& failure) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, name, path, interface, method, parameters, nullptr,
                                    G_DBUS_CALL_FLAGS_NO_AUTO_START, kTimeoutMs, nullptr, &error);
    if (reply != nullptr) {
        g_variant_unref(reply);
        return Outcome::done;
    }
    const bool absent = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
    if (!absent) {
        failure = error != nullptr ? error->message : "no reply";
    }
    g_clear_error(&error);
    return absent ? Outcome::absent : Outcome::refused;
}

}  // namespace

DesktopOverview::DesktopOverview() = default;

DesktopOverview::~DesktopOverview() {
    if (bus_ != nullptr) {
        g_object_unref(bus_);
    }
}

GDBusConnection* DesktopOverview::bus(std::string& failure) {
    if (bus_ != nullptr && g_dbus_connection_is_closed(bus_)) {
        g_object_unref(bus_);
        bus_ = nullptr;
    }
    if (bus_ != nullptr) {
        return bus_;
    }
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address != nullptr) {
        // A private connection: when the bus goes away it closes without ending the process.
        bus_ = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(address);
    }
    if (bus_ == nullptr) {
        failure = error != nullptr ? error->message : "no session bus";
    } else {
        g_dbus_connection_set_exit_on_close(bus_, FALSE);
    }
    g_clear_error(&error);
    return bus_;
}

DesktopOverview::Result DesktopOverview::open(std::string& failure) {
    std::lock_guard lock(mutex_);
    GDBusConnection* connection = bus(failure);
    if (connection == nullptr) {
        return Result::noShell;
    }
    // GNOME Shell.
    Outcome outcome = callShell(
        connection, "org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.gnome.Shell", "OverviewActive", g_variant_new_boolean(TRUE)),
        failure);
    if (outcome != Outcome::absent) {
        return outcome == Outcome::done ? Result::opened : Result::failed;
    }
    // KDE Plasma's overview effect, through its global shortcut.
    outcome = callShell(connection, "org.kde.kglobalaccel", "/component/kwin",
                        "org.kde.kglobalaccel.Component", "invokeShortcut",
                        g_variant_new("(s)", "Overview"), failure);
    if (outcome != Outcome::absent) {
        return outcome == Outcome::done ? Result::opened : Result::failed;
    }
    return Result::noShell;
}

}  // namespace quelm
