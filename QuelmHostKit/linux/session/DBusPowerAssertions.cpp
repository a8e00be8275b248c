#include "QuelmHostKit/linux/session/DBusPowerAssertions.hpp"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr const char* kWho = "Veyra";

struct Pending {
    std::weak_ptr<DBusPowerAssertions> owner;
    PowerAssertions::Id id;
    PowerAssertions::Kind kind;
    std::string reason;
};

std::string messageOf(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) {
        g_error_free(error);
    }
    return text;
}

void onInhibitReply(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    GError* error = nullptr;
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source),
                                                                      &fds, result, &error);
    if (!reply) {
        Log::info("keep-awake inhibitor failed: " + messageOf(error));
        return;
    }
    gint32 index = -1;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    int fd = fds ? g_unix_fd_list_get(fds, index, &error) : -1;
    if (fds) {
        g_object_unref(fds);
    }
    if (fd < 0) {
        Log::info("keep-awake inhibitor failed: " + messageOf(error));
        return;
    }
    if (auto owner = pending->owner.lock()) {
        owner->granted(pending->id, pending->kind, fd, 0);
    } else {
        close(fd);
    }
}

void onScreenSaverReply(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (!reply) {
        Log::info("display inhibitor failed: " + messageOf(error));
        return;
    }
    guint32 cookie = 0;
    g_variant_get(reply, "(u)", &cookie);
    g_variant_unref(reply);
    if (auto owner = pending->owner.lock()) {
        owner->granted(pending->id, pending->kind, -1, cookie);
    } else {
        g_dbus_connection_call(G_DBUS_CONNECTION(source), "org.freedesktop.ScreenSaver",
                               "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                               "UnInhibit", g_variant_new("(u)", cookie), nullptr,
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    }
}

void onBus(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    bool system = pending->kind == PowerAssertions::Kind::preventIdleSystemSleep;
    if (bus) {
        // GIO's shared bus would raise SIGTERM when it closes (an autolaunched session bus
        // goes with the X server): losing a bus must not end the host.
        g_dbus_connection_set_exit_on_close(bus, FALSE);
    }
    if (!bus) {
        Log::info(
            std::string(system ? "keep-awake inhibitor failed: " : "display inhibitor failed: ") +
            messageOf(error));
        return;
    }
    // The request's arguments are built before the callback takes the pending request over:
    // in one call the order in which arguments are evaluated is unspecified.
    // "idle" only: it holds off the desktop's idle suspend, while a suspend the user asks for
    // (the lid, the menu) still happens, which "sleep" would refuse.
    GVariant* arguments =
        system ? g_variant_new("(ssss)", "idle", kWho, pending->reason.c_str(), "block")
               : g_variant_new("(ss)", kWho, pending->reason.c_str());
    if (system) {
        g_dbus_connection_call_with_unix_fd_list(
            bus, "org.freedesktop.login1", "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager", "Inhibit", arguments, G_VARIANT_TYPE("(h)"),
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, onInhibitReply, pending.release());
    } else {
        g_dbus_connection_call(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                               "org.freedesktop.ScreenSaver", "Inhibit", arguments,
                               G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                               onScreenSaverReply, pending.release());
    }
    g_object_unref(bus);
}

}  // namespace

std::shared_ptr<DBusPowerAssertions> DBusPowerAssertions::create() {
    return std::shared_ptr<DBusPowerAssertions>(new DBusPowerAssertions());
}

DBusPowerAssertions::~DBusPowerAssertions() {
    for (const auto& [id, held] : held_) {
        giveBack(held);
    }
}

PowerAssertions::Id DBusPowerAssertions::create(Kind kind, const std::string& reason) {
    Id id = ++next_;
    held_[id] = Held{kind};
    auto* pending = new Pending{weak_from_this(), id, kind, reason};
    g_bus_get(kind == Kind::preventIdleSystemSleep ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION,
              nullptr, onBus, pending);
    return id;
}

void DBusPowerAssertions::granted(Id id, Kind kind, int fd, std::uint32_t cookie) {
    auto found = held_.find(id);
    Held answer{kind, fd, cookie, true};
    if (found == held_.end()) {
        giveBack(answer);  // released while the request was out
        return;
    }
    found->second = answer;
}

void DBusPowerAssertions::release(Id id) {
    auto found = held_.find(id);
    if (found == held_.end()) {
        return;
    }
    giveBack(found->second);
    held_.erase(found);
}

void DBusPowerAssertions::giveBack(const Held& held) {
    if (!held.answered) {
        return;  // the reply gives it back when it comes
    }
    if (held.fd >= 0) {
        close(held.fd);
    }
    if (held.kind == Kind::preventIdleDisplaySleep) {
        // The session bus is already connected when an inhibit was granted: this does not wait.
        if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
            g_dbus_connection_call(bus, "org.freedesktop.ScreenSaver",
                                   "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                                   "UnInhibit", g_variant_new("(u)", held.cookie), nullptr,
                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
            g_object_unref(bus);
        }
    }
}

}  // namespace quelm
