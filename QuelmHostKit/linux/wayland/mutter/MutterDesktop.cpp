#include "QuelmHostKit/linux/wayland/mutter/MutterDesktop.hpp"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";
constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
// The pointer travels as metadata beside the picture, so the host draws it, as on X11.
constexpr std::uint32_t kCursorModeMetadata = 2;

GDBusConnection* openSessionBus() {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!address) {
        g_clear_error(&error);
        return nullptr;
    }
    // A private connection: closing it (or losing the bus) never ends the process.
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    g_clear_error(&error);
    if (bus) {
        g_dbus_connection_set_exit_on_close(bus, FALSE);
    }
    return bus;
}

// A synchronous call; the reply or null, with the failure logged.
GVariant* callSync(GDBusConnection* bus, const char* name, const char* path, const char* interface,
                   const char* method, GVariant* parameters, const char* replyType) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, parameters,
                                                  replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE,
                                                  MutterDesktop::callTimeoutMs, nullptr, &error);
    if (!reply) {
        Log::info(std::string("mutter: ") + method +
                  " failed: " + (error ? error->message : "no reply"));
        g_clear_error(&error);
    }
    return reply;
}

std::string stringChild(GVariant* reply) {
    const char* text = nullptr;
    g_variant_get(reply, "(&o)", &text);
    return text ? text : "";
}

}  // namespace

bool MutterDesktop::present() {
    GDBusConnection* bus = openSessionBus();
    if (!bus) {
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", kRemoteDesktopName), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    return owned;
}

MutterDesktop::MutterDesktop() {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
}

void MutterDesktop::start() {
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "quelmix.mutter");
        run();
    });
}

MutterDesktop::~MutterDesktop() {
    stop();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void MutterDesktop::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    streamsChanged_.notify_all();
    g_main_context_invoke(
        context_,
        [](void* data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void MutterDesktop::run() {
    g_main_context_push_thread_default(context_);
    connectBus();
    g_main_loop_run(loop_);
    teardown(true);
    if (retrySource_) {
        GSource* source = g_main_context_find_source_by_id(context_, retrySource_);
        if (source) {
            g_source_destroy(source);
        }
    }
    if (nameWatch_) {
        g_bus_unwatch_name(nameWatch_);
    }
    GDBusConnection* bus = nullptr;
    {
        std::lock_guard lock(mutex_);
        std::swap(bus, bus_);
    }
    if (bus) {
        g_signal_handlers_disconnect_by_data(bus, this);
        g_object_unref(bus);
    }
    // Let the unwatch and unsubscribe notifications run before the context goes.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
}

void MutterDesktop::connectBus() {
    GDBusConnection* bus = openSessionBus();
    if (!bus) {
        Log::info("mutter: the session bus cannot be reached");
        scheduleRetry();
        return;
    }
    g_signal_connect(bus, "closed", G_CALLBACK(onBusClosed), this);
    {
        std::lock_guard lock(mutex_);
        bus_ = bus;
    }
    g_dbus_connection_signal_subscribe(bus, kDisplayConfigName, kDisplayConfigName,
                                       "MonitorsChanged", "/org/gnome/Mutter/DisplayConfig",
                                       nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr);
    nameWatch_ =
        g_bus_watch_name_on_connection(bus, kRemoteDesktopName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                       onNameAppeared, onNameVanished, this, nullptr);
}

void MutterDesktop::establish() {
    GDBusConnection* bus = nullptr;
    {
        std::lock_guard lock(mutex_);
        bus = bus_;
    }
    if (!bus || active_) {
        return;
    }
    GVariant* state = callSync(bus, kDisplayConfigName, "/org/gnome/Mutter/DisplayConfig",
                               kDisplayConfigName, "GetCurrentState", nullptr, nullptr);
    if (!state) {
        scheduleRetry();
        return;
    }
    const auto found = MutterDisplayConfig::parseCurrentState(state);
    g_variant_unref(state);

    GVariant* created = callSync(bus, kRemoteDesktopName, "/org/gnome/Mutter/RemoteDesktop",
                                 kRemoteDesktopName, "CreateSession", nullptr, "(o)");
    if (!created) {
        scheduleRetry();
        return;
    }
    const std::string sessionPath = stringChild(created);
    g_variant_unref(created);
    {
        std::lock_guard lock(mutex_);
        sessionPath_ = sessionPath;
    }
    subscriptions_.push_back(g_dbus_connection_signal_subscribe(
        bus, kRemoteDesktopName, kSessionInterface, nullptr, sessionPath.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr));

    GVariant* idReply =
        callSync(bus, kRemoteDesktopName, sessionPath.c_str(), "org.freedesktop.DBus.Properties",
                 "Get", g_variant_new("(ss)", kSessionInterface, "SessionId"), "(v)");
    if (!idReply) {
        teardown(true);
        scheduleRetry();
        return;
    }
    GVariant* idValue = nullptr;
    g_variant_get(idReply, "(v)", &idValue);
    const std::string sessionId = g_variant_is_of_type(idValue, G_VARIANT_TYPE_STRING)
                                      ? g_variant_get_string(idValue, nullptr)
                                      : "";
    g_variant_unref(idValue);
    g_variant_unref(idReply);

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id",
                          g_variant_new_string(sessionId.c_str()));
    GVariant* castReply =
        callSync(bus, kScreenCastName, "/org/gnome/Mutter/ScreenCast", kScreenCastName,
                 "CreateSession", g_variant_new("(a{sv})", &options), "(o)");
    if (!castReply) {
        teardown(true);
        scheduleRetry();
        return;
    }
    const std::string castPath = stringChild(castReply);
    g_variant_unref(castReply);

    std::vector<Monitor> monitors;
    for (const auto& monitor : found) {
        GVariantBuilder record;
        g_variant_builder_init(&record, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&record, "{sv}", "cursor-mode",
                              g_variant_new_uint32(kCursorModeMetadata));
        GVariant* streamReply = callSync(
            bus, kScreenCastName, castPath.c_str(), "org.gnome.Mutter.ScreenCast.Session",
            "RecordMonitor", g_variant_new("(sa{sv})", monitor.connector.c_str(), &record), "(o)");
        Monitor entry{ids_.idFor(monitor.connector), monitor, "", std::nullopt};
        if (streamReply) {
            entry.streamPath = stringChild(streamReply);
            g_variant_unref(streamReply);
            subscriptions_.push_back(g_dbus_connection_signal_subscribe(
                bus, kScreenCastName, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
                entry.streamPath.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this,
                nullptr));
        }
        monitors.push_back(std::move(entry));
    }
    {
        std::lock_guard lock(mutex_);
        screenCastPath_ = castPath;
        monitors_ = monitors;
    }
    GVariant* started = callSync(bus, kRemoteDesktopName, sessionPath.c_str(), kSessionInterface,
                                 "Start", nullptr, nullptr);
    if (!started) {
        teardown(true);
        scheduleRetry();
        return;
    }
    g_variant_unref(started);
    {
        std::lock_guard lock(mutex_);
        active_ = true;
    }
    Log::info("mutter: remote desktop session started with " + std::to_string(monitors.size()) +
              " monitor(s)");
    changed(true);
}

void MutterDesktop::teardown(bool tellMutter) {
    GDBusConnection* bus = nullptr;
    std::string sessionPath;
    bool wasActive = false;
    {
        std::lock_guard lock(mutex_);
        bus = bus_ ? static_cast<GDBusConnection*>(g_object_ref(bus_)) : nullptr;
        sessionPath.swap(sessionPath_);
        screenCastPath_.clear();
        wasActive = active_;
        active_ = false;
        for (auto& monitor : monitors_) {
            monitor.streamPath.clear();
            monitor.nodeId.reset();
        }
    }
    streamsChanged_.notify_all();
    if (bus) {
        for (unsigned id : subscriptions_) {
            g_dbus_connection_signal_unsubscribe(bus, id);
        }
        if (tellMutter && !sessionPath.empty() && !g_dbus_connection_is_closed(bus)) {
            if (GVariant* reply = g_dbus_connection_call_sync(
                    bus, kRemoteDesktopName, sessionPath.c_str(), kSessionInterface, "Stop",
                    nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr)) {
                g_variant_unref(reply);
            }
        }
        g_object_unref(bus);
    }
    subscriptions_.clear();
    if (wasActive) {
        changed(false);
    }
}

void MutterDesktop::scheduleRetry() {
    if (retrySource_) {
        return;
    }
    GSource* source = g_timeout_source_new(static_cast<guint>(retryInterval * 1000));
    g_source_set_callback(
        source,
        [](void* data) -> gboolean {
            auto* self = static_cast<MutterDesktop*>(data);
            self->retrySource_ = 0;
            bool haveBus = false;
            {
                std::lock_guard lock(self->mutex_);
                haveBus = self->bus_ != nullptr;
            }
            if (!haveBus) {
                self->connectBus();
            } else if (self->present_) {
                self->establish();
            }
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    retrySource_ = g_source_attach(source, context_);
    g_source_unref(source);
}

void MutterDesktop::changed(bool started) {
    for (const auto& handler : changeHandlers_) {
        handler(started);
    }
}

void MutterDesktop::onNameAppeared(GDBusConnection*, const char*, const char*, void* self) {
    auto* desktop = static_cast<MutterDesktop*>(self);
    desktop->present_ = true;
    desktop->establish();
}

void MutterDesktop::onNameVanished(GDBusConnection*, const char*, void* self) {
    auto* desktop = static_cast<MutterDesktop*>(self);
    const bool was = desktop->present_;
    desktop->present_ = false;
    if (was) {
        Log::info("the compositor is gone: the screen is not offered until it is back");
    }
    desktop->teardown(false);
}

void MutterDesktop::onSignal(GDBusConnection*, const char*, const char* path, const char* interface,
                             const char* signal, GVariant* parameters, void* self) {
    auto* desktop = static_cast<MutterDesktop*>(self);
    const std::string name = signal;
    if (name == "PipeWireStreamAdded") {
        std::uint32_t node = 0;
        g_variant_get(parameters, "(u)", &node);
        {
            std::lock_guard lock(desktop->mutex_);
            for (auto& monitor : desktop->monitors_) {
                if (monitor.streamPath == path) {
                    monitor.nodeId = node;
                }
            }
        }
        desktop->streamsChanged_.notify_all();
    } else if (name == "MonitorsChanged") {
        if (desktop->active_) {
            Log::info("mutter: the monitors changed; the session starts again");
            desktop->teardown(true);
            desktop->establish();
        }
    } else if (name == "Closed" && std::string(interface) == kSessionInterface) {
        Log::info("mutter: the remote desktop session was closed");
        desktop->teardown(false);
        desktop->scheduleRetry();
    } else {
        for (const auto& handler : desktop->signalHandlers_) {
            handler(name, parameters);
        }
    }
}

void MutterDesktop::onBusClosed(GDBusConnection* bus, int, void*, void* self) {
    auto* desktop = static_cast<MutterDesktop*>(self);
    Log::info("the compositor is gone: the session bus closed");
    desktop->teardown(false);
    desktop->present_ = false;
    if (desktop->nameWatch_) {
        g_bus_unwatch_name(desktop->nameWatch_);
        desktop->nameWatch_ = 0;
    }
    g_signal_handlers_disconnect_by_data(bus, self);
    {
        std::lock_guard lock(desktop->mutex_);
        desktop->bus_ = nullptr;
    }
    g_object_unref(bus);
    desktop->scheduleRetry();
}

std::vector<MutterDesktop::Monitor> MutterDesktop::monitors() const {
    std::lock_guard lock(mutex_);
    return monitors_;
}

std::optional<MutterDesktop::Monitor> MutterDesktop::waitForStream(std::uint32_t displayId,
                                                                   double timeout) {
    std::unique_lock lock(mutex_);
    std::optional<Monitor> found;
    streamsChanged_.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
        if (stopping_) {
            return true;
        }
        for (const auto& monitor : monitors_) {
            if (active_ && monitor.id == displayId && monitor.nodeId) {
                found = monitor;
            }
        }
        return found.has_value();
    });
    return found;
}

bool MutterDesktop::active() const {
    std::lock_guard lock(mutex_);
    return active_;
}

GDBusConnection* MutterDesktop::sessionBus(GVariant* parameters, std::string& path) {
    {
        std::lock_guard lock(mutex_);
        if (active_ && bus_) {
            path = sessionPath_;
            return static_cast<GDBusConnection*>(g_object_ref(bus_));
        }
    }
    // A call that cannot be made still owns its floating parameters.
    if (parameters) {
        g_variant_unref(g_variant_ref_sink(parameters));
    }
    return nullptr;
}

bool MutterDesktop::notify(const char* method, GVariant* parameters) {
    std::string path;
    GDBusConnection* bus = sessionBus(parameters, path);
    if (!bus) {
        return false;
    }
    g_dbus_connection_call(bus, kRemoteDesktopName, path.c_str(), kSessionInterface, method,
                           parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr,
                           nullptr);
    g_object_unref(bus);
    return true;
}

GVariant* MutterDesktop::callSession(const char* method, GVariant* parameters, int* fd) {
    std::string path;
    GDBusConnection* bus = sessionBus(parameters, path);
    if (!bus) {
        return nullptr;
    }
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, kRemoteDesktopName, path.c_str(), kSessionInterface, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, fd ? &fds : nullptr, nullptr, &error);
    if (!reply) {
        Log::info(std::string("mutter: ") + method +
                  " failed: " + (error ? error->message : "no reply"));
        g_clear_error(&error);
    }
    if (fd) {
        *fd = -1;
        if (reply && fds && g_variant_is_of_type(reply, G_VARIANT_TYPE("(h)"))) {
            gint32 index = 0;
            g_variant_get(reply, "(h)", &index);
            *fd = g_unix_fd_list_get(fds, index, nullptr);
        }
        if (fds) {
            g_object_unref(fds);
        }
    }
    g_object_unref(bus);
    return reply;
}

void MutterDesktop::callSessionAsync(const char* method, GVariant* parameters,
                                     std::function<void(GVariant* reply, int fd)> done) {
    std::string path;
    GDBusConnection* bus = sessionBus(parameters, path);
    if (!bus) {
        done(nullptr, -1);
        return;
    }
    using Done = std::function<void(GVariant*, int)>;
    g_dbus_connection_call_with_unix_fd_list(
        bus, kRemoteDesktopName, path.c_str(), kSessionInterface, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Done> done(static_cast<Done*>(data));
            GUnixFDList* fds = nullptr;
            GError* error = nullptr;
            GVariant* reply = g_dbus_connection_call_with_unix_fd_list_finish(
                G_DBUS_CONNECTION(source), &fds, result, &error);
            if (!reply) {
                Log::info(std::string("mutter: a session call failed: ") +
                          (error ? error->message : "no reply"));
                g_clear_error(&error);
            }
            int fd = -1;
            if (reply && fds && g_variant_is_of_type(reply, G_VARIANT_TYPE("(h)"))) {
                gint32 index = 0;
                g_variant_get(reply, "(h)", &index);
                fd = g_unix_fd_list_get(fds, index, nullptr);
            }
            if (fds) {
                g_object_unref(fds);
            }
            (*done)(reply, fd);
            if (reply) {
                g_variant_unref(reply);
            }
        },
        new Done(std::move(done)));
    g_object_unref(bus);
}

void MutterDesktop::onSessionSignal(
    std::function<void(const std::string& signal, GVariant* parameters)> fn) {
    signalHandlers_.push_back(std::move(fn));
}

void MutterDesktop::onSessionChange(std::function<void(bool started)> fn) {
    changeHandlers_.push_back(std::move(fn));
}

}  // namespace quelm
