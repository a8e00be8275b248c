#include "QuelmHostKit/linux/session/LogindSessionLock.hpp"

#include <gio/gio.h>
#include <unistd.h>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

using Weak = std::weak_ptr<LogindSessionLock>;

std::string messageOf(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) {
        g_error_free(error);
    }
    return text;
}

std::shared_ptr<LogindSessionLock> ownerOf(gpointer data) {
    return static_cast<Weak*>(data)->lock();
}

void deleteWeak(gpointer data) {
    delete static_cast<Weak*>(data);
}

void onLockedHint(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Weak> weak(static_cast<Weak*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (!reply) {
        Log::info("lock state unknown: " + messageOf(error));
        return;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
        if (auto owner = weak->lock()) {
            owner->report(g_variant_get_boolean(value));
        }
    }
    if (value) {
        g_variant_unref(value);
    }
    g_variant_unref(reply);
}

void onSessionPath(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Weak> weak(static_cast<Weak*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (!reply) {
        Log::info("no logind session: " + messageOf(error));
        return;
    }
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    if (auto owner = weak->lock()) {
        owner->sessionFound(G_DBUS_CONNECTION(source), path);
    }
    g_variant_unref(reply);
}

void onSystemBus(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Weak> weak(static_cast<Weak*>(data));
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    if (!bus) {
        Log::info("no system bus for the lock state: " + messageOf(error));
        return;
    }
    // Losing the bus must not end the host (GIO's shared bus raises SIGTERM by default).
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_dbus_connection_call(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "GetSessionByPID",
                           g_variant_new("(u)", guint32(getpid())), G_VARIANT_TYPE("(o)"),
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, onSessionPath, weak.release());
    g_object_unref(bus);
}

void onScreenSaverActive(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Weak> weak(static_cast<Weak*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (!reply) {
        if (error) {
            g_error_free(error);  // many sessions have no screen saver service: not worth a line
        }
        return;
    }
    gboolean active = FALSE;
    g_variant_get(reply, "(b)", &active);
    g_variant_unref(reply);
    if (auto owner = weak->lock()) {
        owner->report(active);
    }
}

void onSessionBus(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Weak> weak(static_cast<Weak*>(data));
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    if (!bus) {
        Log::info("no session bus for the lock state: " + messageOf(error));
        return;
    }
    // Losing the bus must not end the host (GIO's shared bus raises SIGTERM by default).
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    if (auto owner = weak->lock()) {
        owner->screenSaverFound(bus);
    }
    g_object_unref(bus);
}

void onSessionSignal(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                     const gchar* signal, GVariant* parameters, gpointer data) {
    auto owner = ownerOf(data);
    if (!owner) {
        return;
    }
    std::string name = signal;
    if (name == "Lock" || name == "Unlock") {
        owner->report(name == "Lock");
        return;
    }
    if (name == "ActiveChanged") {
        gboolean active = FALSE;
        g_variant_get(parameters, "(b)", &active);
        owner->report(active);
        return;
    }
    if (name == "PropertiesChanged") {
        const gchar* changedInterface = nullptr;
        GVariant* changed = nullptr;
        g_variant_get(parameters, "(&s@a{sv}as)", &changedInterface, &changed, nullptr);
        gboolean hint = FALSE;
        if (changed && g_variant_lookup(changed, "LockedHint", "b", &hint)) {
            owner->report(hint);
        }
        if (changed) {
            g_variant_unref(changed);
        }
    }
}

}  // namespace

std::shared_ptr<LogindSessionLock> LogindSessionLock::create() {
    return std::shared_ptr<LogindSessionLock>(new LogindSessionLock());
}

LogindSessionLock::~LogindSessionLock() {
    for (int i = 0; i < 4; ++i) {
        GDBusConnection* bus = i < 3 ? system_ : session_;
        if (bus && subscriptions_[i]) {
            g_dbus_connection_signal_unsubscribe(bus, subscriptions_[i]);
        }
    }
    if (system_) {
        g_object_unref(system_);
    }
    if (session_) {
        g_object_unref(session_);
    }
}

void LogindSessionLock::watch(std::function<void(bool locked)> onChange) {
    onChange_ = std::move(onChange);
    if (system_ || session_) {
        if (last_ >= 0) {
            onChange_(last_ == 1);
        }
        return;
    }
    g_bus_get(G_BUS_TYPE_SYSTEM, nullptr, onSystemBus, new Weak(weak_from_this()));
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, onSessionBus, new Weak(weak_from_this()));
}

void LogindSessionLock::report(bool locked) {
    if (last_ == int(locked)) {
        return;
    }
    last_ = locked;
    if (onChange_) {
        onChange_(locked);
    }
}

void LogindSessionLock::sessionFound(GDBusConnection* bus, const std::string& path) {
    system_ = G_DBUS_CONNECTION(g_object_ref(bus));
    const char* names[] = {"Lock", "Unlock"};
    for (int i = 0; i < 2; ++i) {
        subscriptions_[i] = g_dbus_connection_signal_subscribe(
            bus, "org.freedesktop.login1", "org.freedesktop.login1.Session", names[i], path.c_str(),
            nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onSessionSignal, new Weak(weak_from_this()),
            deleteWeak);
    }
    subscriptions_[2] = g_dbus_connection_signal_subscribe(
        bus, "org.freedesktop.login1", "org.freedesktop.DBus.Properties", "PropertiesChanged",
        path.c_str(), "org.freedesktop.login1.Session", G_DBUS_SIGNAL_FLAGS_NONE, onSessionSignal,
        new Weak(weak_from_this()), deleteWeak);
    g_dbus_connection_call(bus, "org.freedesktop.login1", path.c_str(),
                           "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "org.freedesktop.login1.Session", "LockedHint"),
                           G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, onLockedHint,
                           new Weak(weak_from_this()));
}

void LogindSessionLock::screenSaverFound(GDBusConnection* bus) {
    session_ = G_DBUS_CONNECTION(g_object_ref(bus));
    subscriptions_[3] = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.freedesktop.ScreenSaver", "ActiveChanged", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onSessionSignal, new Weak(weak_from_this()), deleteWeak);
    g_dbus_connection_call(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                           "org.freedesktop.ScreenSaver", "GetActive", nullptr,
                           G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                           onScreenSaverActive, new Weak(weak_from_this()));
}

}  // namespace quelm
