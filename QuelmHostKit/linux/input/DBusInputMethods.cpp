#include "QuelmHostKit/linux/input/DBusInputMethods.hpp"

#include <gio/gio.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr const char* kFcitxName = "org.fcitx.Fcitx5";
constexpr const char* kFcitxPath = "/controller";
constexpr const char* kFcitxInterface = "org.fcitx.Fcitx.Controller1";
constexpr const char* kFcitxToken = "fcitx5";
constexpr const char* kIBusPrefix = "ibus:";
constexpr const char* kIBusASCIIEngine = "xkb:us::eng";

// Calls a method and returns its reply; none, with the error logged unless the service is
// simply not there, on failure.
GVariant* call(GDBusConnection* bus, const char* name, const char* path, const char* interface,
               const char* method, GVariant* parameters, const GVariantType* replyType,
               bool logMissing = false) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, parameters,
                                                  replyType, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                                  DBusInputMethods::callTimeoutMs, nullptr, &error);
    if (reply == nullptr) {
        const bool missing = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                             g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
        if (!missing || logMissing) {
            Log::info(std::string("input method call failed: ") + method + ": " +
                      (error != nullptr ? error->message : "no reply"));
        }
        g_clear_error(&error);
    }
    return reply;
}

GDBusConnection* openBus(const std::string& address, bool messageBus) {
    GError* error = nullptr;
    auto flags = static_cast<GDBusConnectionFlags>(
        G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
        (messageBus ? G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION : 0));
    GDBusConnection* bus =
        g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, &error);
    if (bus == nullptr) {
        g_clear_error(&error);
        return nullptr;
    }
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
}

// A connection that closed (its bus went away) is dropped, to be opened again next time.
void dropIfClosed(GDBusConnection*& bus) {
    if (bus != nullptr && g_dbus_connection_is_closed(bus)) {
        g_object_unref(bus);
        bus = nullptr;
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// $XDG_CONFIG_HOME/ibus/bus/<machine id>-<host or "unix">-<display number>.
std::optional<std::string> ibusAddressFile() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr) {
        return std::nullopt;
    }
    std::string name(display);
    const auto colon = name.rfind(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    std::string host = name.substr(0, colon);
    std::string number = name.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (host.empty()) {
        host = "unix";
    }
    std::string machine = readFile("/etc/machine-id");
    if (machine.empty()) {
        machine = readFile("/var/lib/dbus/machine-id");
    }
    while (!machine.empty() && (machine.back() == '\n' || machine.back() == ' ')) {
        machine.pop_back();
    }
    if (machine.empty()) {
        return std::nullopt;
    }
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr) {
        config = std::string(home) + "/.config";
    } else {
        return std::nullopt;
    }
    return config + "/ibus/bus/" + machine + "-" + host + "-" + number;
}

}  // namespace

DBusInputMethods::DBusInputMethods() = default;

DBusInputMethods::~DBusInputMethods() {
    for (GDBusConnection* bus : {session_, ibus_}) {
        if (bus != nullptr) {
            g_object_unref(bus);
        }
    }
}

bool DBusInputMethods::isASCIICapableIBusEngine(const std::string& engine) {
    if (engine.rfind("xkb:", 0) != 0) {
        return false;
    }
    // xkb:<layout>:<variant>:<language>; layouts of other scripts do not type ASCII.
    const std::string layout = engine.substr(4, engine.find(':', 4) - 4);
    static const std::array<const char*, 16> otherScripts{"ru", "ua", "by",  "bg", "mk", "rs",
                                                          "gr", "il", "ara", "ir", "th", "kr",
                                                          "am", "ge", "in",  "kz"};
    for (const char* other : otherScripts) {
        if (layout == other) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> DBusInputMethods::addressFromFile(const std::string& contents) {
    std::istringstream lines(contents);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("IBUS_ADDRESS=", 0) == 0 && line.size() > 13) {
            return line.substr(13);
        }
    }
    return std::nullopt;
}

GDBusConnection* DBusInputMethods::sessionBus() {
    dropIfClosed(session_);
    if (session_ == nullptr) {
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        g_clear_error(&error);
        if (address != nullptr) {
            session_ = openBus(address, true);
            g_free(address);
        }
    }
    return session_;
}

GDBusConnection* DBusInputMethods::ibusBus() {
    dropIfClosed(ibus_);
    if (ibus_ == nullptr) {
        std::optional<std::string> address;
        if (const char* env = std::getenv("IBUS_ADDRESS"); env != nullptr && *env != '\0') {
            address = env;
        } else if (const auto file = ibusAddressFile()) {
            address = addressFromFile(readFile(*file));
        }
        if (address) {
            ibus_ = openBus(*address, true);
        }
    }
    return ibus_;
}

std::optional<std::string> DBusInputMethods::ibusEngine(GDBusConnection* bus) {
    // The global engine is an IBusEngineDesc: (s a{sv} name ...).
    GVariant* reply =
        call(bus, "org.freedesktop.IBus", "/org/freedesktop/IBus",
             "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", "org.freedesktop.IBus", "GlobalEngine"), G_VARIANT_TYPE("(v)"));
    if (reply == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    GVariant* boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    GVariant* desc = boxed != nullptr && g_variant_is_of_type(boxed, G_VARIANT_TYPE_VARIANT)
                         ? g_variant_get_variant(boxed)
                         : (boxed != nullptr ? g_variant_ref(boxed) : nullptr);
    if (desc != nullptr && g_variant_is_container(desc) && g_variant_n_children(desc) > 2) {
        GVariant* field = g_variant_get_child_value(desc, 2);
        if (g_variant_is_of_type(field, G_VARIANT_TYPE_STRING)) {
            name = g_variant_get_string(field, nullptr);
        }
        g_variant_unref(field);
    }
    if (desc != nullptr) {
        g_variant_unref(desc);
    }
    if (boxed != nullptr) {
        g_variant_unref(boxed);
    }
    g_variant_unref(reply);
    return name;
}

bool DBusInputMethods::setIBusEngine(GDBusConnection* bus, const std::string& engine) {
    GVariant* reply =
        call(bus, "org.freedesktop.IBus", "/org/freedesktop/IBus", "org.freedesktop.IBus",
             "SetGlobalEngine", g_variant_new("(s)", engine.c_str()), nullptr, true);
    if (reply == nullptr) {
        return false;
    }
    g_variant_unref(reply);
    return true;
}

std::optional<std::string> DBusInputMethods::selectASCIICapable() {
    std::lock_guard lock(mutex_);
    if (GDBusConnection* bus = sessionBus()) {
        GVariant* state = call(bus, kFcitxName, kFcitxPath, kFcitxInterface, "State", nullptr,
                               G_VARIANT_TYPE("(i)"));
        if (state != nullptr) {
            gint32 value = 0;
            g_variant_get(state, "(i)", &value);
            g_variant_unref(state);
            std::string method;
            if (GVariant* current = call(bus, kFcitxName, kFcitxPath, kFcitxInterface,
                                         "CurrentInputMethod", nullptr, G_VARIANT_TYPE("(s)"))) {
                const gchar* text = nullptr;
                g_variant_get(current, "(&s)", &text);
                method = text != nullptr ? text : "";
                g_variant_unref(current);
            }
            // 2: active, with an input method of its own rather than the keyboard layout.
            if (value != 2 || method.rfind("keyboard-", 0) == 0) {
                return std::nullopt;
            }
            GVariant* done = call(bus, kFcitxName, kFcitxPath, kFcitxInterface, "Deactivate",
                                  nullptr, nullptr, true);
            if (done == nullptr) {
                return std::nullopt;
            }
            g_variant_unref(done);
            return std::string(kFcitxToken);
        }
    }
    if (GDBusConnection* bus = ibusBus()) {
        const auto engine = ibusEngine(bus);
        if (!engine || isASCIICapableIBusEngine(*engine)) {
            return std::nullopt;
        }
        if (!setIBusEngine(bus, kIBusASCIIEngine)) {
            return std::nullopt;
        }
        return kIBusPrefix + *engine;
    }
    return std::nullopt;
}

void DBusInputMethods::restore(const std::string& previous) {
    std::lock_guard lock(mutex_);
    if (previous == kFcitxToken) {
        if (GDBusConnection* bus = sessionBus()) {
            if (GVariant* done = call(bus, kFcitxName, kFcitxPath, kFcitxInterface, "Activate",
                                      nullptr, nullptr, true)) {
                g_variant_unref(done);
            }
        }
    } else if (previous.rfind(kIBusPrefix, 0) == 0) {
        if (GDBusConnection* bus = ibusBus()) {
            setIBusEngine(bus, previous.substr(std::string(kIBusPrefix).size()));
        }
    }
}

}  // namespace quelm
