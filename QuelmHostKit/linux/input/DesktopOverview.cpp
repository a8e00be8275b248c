#include "QuelmHostKit/linux/input/DesktopOverview.hpp"

#include <gio/gio.h>

#include <atomic>
#include <utility>

#include "QuelmHostKit/queues/ThreadQueue.hpp"

namespace quelm {

namespace {

enum class Outcome { done, absent, refused };

Outcome callShell(GDBusConnection* bus, const char* name, const char* path, const char* interface,
                  const char* method, GVariant* parameters, std::string& failure) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, parameters,
                                                  nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                                  DesktopOverview::callTimeoutMs, nullptr, &error);
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

// Touched only on the overview's thread, except `busy`.
struct DesktopOverview::State {
    std::string address;
    GDBusConnection* bus = nullptr;
    std::atomic<bool> busy{false};

    ~State() {
        if (bus != nullptr) {
            g_object_unref(bus);
        }
    }

    GDBusConnection* connection(std::string& failure);
    Result open(std::string& failure);
};

GDBusConnection* DesktopOverview::State::connection(std::string& failure) {
    if (bus != nullptr && g_dbus_connection_is_closed(bus)) {
        g_object_unref(bus);
        bus = nullptr;
    }
    if (bus != nullptr) {
        return bus;
    }
    GError* error = nullptr;
    gchar* found = address.empty()
                       ? g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error)
                       : g_strdup(address.c_str());
    if (found != nullptr) {
        // A private connection: when the bus goes away it closes without ending the process.
        bus = g_dbus_connection_new_for_address_sync(
            found,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(found);
    }
    if (bus == nullptr) {
        failure = error != nullptr ? error->message : "no session bus";
    } else {
        g_dbus_connection_set_exit_on_close(bus, FALSE);
    }
    g_clear_error(&error);
    return bus;
}

DesktopOverview::Result DesktopOverview::State::open(std::string& failure) {
    GDBusConnection* shell = connection(failure);
    if (shell == nullptr) {
        return Result::noShell;
    }
    // GNOME Shell.
    Outcome outcome = callShell(
        shell, "org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.gnome.Shell", "OverviewActive", g_variant_new_boolean(TRUE)),
        failure);
    if (outcome != Outcome::absent) {
        return outcome == Outcome::done ? Result::opened : Result::failed;
    }
    // KDE Plasma's overview effect, through its global shortcut.
    outcome = callShell(shell, "org.kde.kglobalaccel", "/component/kwin",
                        "org.kde.kglobalaccel.Component", "invokeShortcut",
                        g_variant_new("(s)", "Overview"), failure);
    if (outcome != Outcome::absent) {
        return outcome == Outcome::done ? Result::opened : Result::failed;
    }
    return Result::noShell;
}

DesktopOverview::DesktopOverview(std::string busAddress)
    : state_(std::make_shared<State>()), queue_(std::make_shared<ThreadQueue>("quelmix.overview")) {
    state_->address = std::move(busAddress);
}

DesktopOverview::~DesktopOverview() = default;

void DesktopOverview::open(Done done) {
    if (state_->busy.exchange(true)) {
        done(Result::failed, "an earlier request still waits for the desktop shell");
        return;
    }
    queue_->async([state = state_, done = std::move(done)] {
        std::string failure;
        const Result result = state->open(failure);
        state->busy = false;
        done(result, failure);
    });
}

void DesktopOverview::openOr(std::function<Failure()> withoutShell,
                             std::function<void(Failure)> done) {
    open([withoutShell = std::move(withoutShell), done = std::move(done)](
             Result result, const std::string& failure) {
        switch (result) {
            case Result::opened:
                done(std::nullopt);
                return;
            case Result::failed:
                done(failure);
                return;
            case Result::noShell:
                break;
        }
        done(withoutShell());
    });
}

}  // namespace quelm
