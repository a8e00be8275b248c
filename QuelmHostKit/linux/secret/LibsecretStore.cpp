#include "QuelmHostKit/linux/secret/LibsecretStore.hpp"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "QuelmCore/AppIdentity.hpp"
#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr const char* kSecretsBusName = "org.freedesktop.secrets";

const SecretSchema* schema() {
    static const std::string name(kApplicationId);
    static const SecretSchema instance = [] {
        SecretSchema s{};
        s.name = name.c_str();
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &instance;
}

// Logs the service's own words next to the status the caller reports, then frees the error.
SecretOutcome::Failed failure(GError* error) {
    SecretOutcome::Failed result{error && error->code != 0 ? error->code : -1};
    Log::info(std::string("secret service error: ") + (error ? error->message : "unknown"));
    g_clear_error(&error);
    return result;
}

bool sessionBusConfigured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
        return true;
    }
    // Without either, GIO would try to autolaunch a bus, which is not ours to do.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    return runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored);
}

// One org.freedesktop.DBus call with a bounded wait; empty on error.
GVariant* busCall(GDBusConnection* bus, const char* method, GVariant* parameters,
                  const GVariantType* reply, int timeoutMs) {
    return g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", method, parameters, reply,
                                       G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, nullptr);
}

}  // namespace

bool LibsecretStore::available(double timeoutSeconds) {
    if (!sessionBusConfigured()) {
        return false;
    }
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) {
        return false;
    }
    int shortWait = static_cast<int>(timeoutSeconds * 1000 / 3);
    bool running = false;
    if (GVariant* owned = busCall(bus, "NameHasOwner", g_variant_new("(s)", kSecretsBusName),
                                  G_VARIANT_TYPE("(b)"), shortWait)) {
        gboolean has = FALSE;
        g_variant_get(owned, "(b)", &has);
        running = has;
        g_variant_unref(owned);
    }
    if (!running) {
        // Activatable services start on demand; a service that fails to start is not offered.
        if (GVariant* started =
                busCall(bus, "StartServiceByName", g_variant_new("(su)", kSecretsBusName, 0u),
                        G_VARIANT_TYPE("(u)"), shortWait * 2)) {
            running = true;
            g_variant_unref(started);
        }
    }
    g_object_unref(bus);
    return running;
}

SecretRead LibsecretStore::read(const SecretKey& key) {
    GError* error = nullptr;
    SecretValue* value = secret_password_lookup_binary_sync(schema(), nullptr, &error, "service",
                                                            key.service.c_str(), "account",
                                                            key.account.c_str(), nullptr);
    if (error) {
        return failure(error);
    }
    if (!value) {
        return SecretOutcome::NotFound{};
    }
    gsize length = 0;
    const gchar* data = secret_value_get(value, &length);
    Bytes bytes(data, data + length);
    secret_value_unref(value);
    return SecretOutcome::Found{std::move(bytes)};
}

SecretWrite LibsecretStore::update(const SecretKey& key, std::string_view value) {
    GError* error = nullptr;
    GList* found = secret_password_search_sync(
        schema(), static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK), nullptr, &error, "service",
        key.service.c_str(), "account", key.account.c_str(), nullptr);
    if (error) {
        return failure(error);
    }
    if (!found) {
        return SecretOutcome::NotFound{};
    }
    auto* first = static_cast<GObject*>(found->data);
    SecretWrite result = SecretOutcome::Written{};
    if (SECRET_IS_ITEM(first)) {
        // Setting the secret on the item found keeps its label and collection.
        SecretValue* secret = secret_value_new(value.data(), value.size(), "text/plain");
        if (!secret_item_set_secret_sync(SECRET_ITEM(first), secret, nullptr, &error)) {
            result = failure(error);
        }
        secret_value_unref(secret);
    } else {
        // Another backend: storing under the same attributes replaces it; keep the label.
        gchar* label = secret_retrievable_get_label(SECRET_RETRIEVABLE(first));
        result = add(key, value, label ? label : "");
        g_free(label);
    }
    g_list_free_full(found, g_object_unref);
    return result;
}

SecretWrite LibsecretStore::add(const SecretKey& key, std::string_view value,
                                std::string_view label) {
    GError* error = nullptr;
    std::string name(label);
    SecretValue* secret = secret_value_new(value.data(), value.size(), "text/plain");
    bool stored = secret_password_store_binary_sync(
        schema(), SECRET_COLLECTION_DEFAULT, name.c_str(), secret, nullptr, &error, "service",
        key.service.c_str(), "account", key.account.c_str(), nullptr);
    secret_value_unref(secret);
    if (!stored) {
        return failure(error);
    }
    return SecretOutcome::Written{};
}

bool LibsecretStore::remove(const SecretKey& key) {
    GError* error = nullptr;
    bool removed =
        secret_password_clear_sync(schema(), nullptr, &error, "service", key.service.c_str(),
                                   "account", key.account.c_str(), nullptr);
    if (error) {
        failure(error);
        return false;
    }
    return removed;
}

}  // namespace quelm
