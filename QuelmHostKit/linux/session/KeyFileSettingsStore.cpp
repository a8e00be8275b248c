#include "QuelmHostKit/linux/session/KeyFileSettingsStore.hpp"

#include <glib.h>

#include <cstdlib>

#include "QuelmHostKit/log/Log.hpp"

namespace quelm {

namespace {

constexpr const char* kGroup = "Host";

GKeyFile* load(const std::filesystem::path& file) {
    GKeyFile* keys = g_key_file_new();
    g_key_file_load_from_file(keys, file.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    return keys;
}

}  // namespace

KeyFileSettingsStore::KeyFileSettingsStore(std::filesystem::path file) : file_(std::move(file)) {}

KeyFileSettingsStore KeyFileSettingsStore::forCurrentUser() {
    return KeyFileSettingsStore(std::filesystem::path(g_get_user_config_dir()) / "quelmix" /
                                "settings.ini");
}

std::optional<bool> KeyFileSettingsStore::boolValue(const std::string& key) const {
    GKeyFile* keys = load(file_);
    GError* error = nullptr;
    gboolean value = g_key_file_get_boolean(keys, kGroup, key.c_str(), &error);
    g_key_file_free(keys);
    if (error) {
        g_error_free(error);
        return std::nullopt;
    }
    return value != FALSE;
}

void KeyFileSettingsStore::setBool(const std::string& key, bool value) {
    GKeyFile* keys = load(file_);
    g_key_file_set_boolean(keys, kGroup, key.c_str(), value);
    GError* error = nullptr;
    g_mkdir_with_parents(file_.parent_path().c_str(), 0700);
    if (!g_key_file_save_to_file(keys, file_.c_str(), &error)) {
        Log::info(std::string("settings write failed: ") + (error ? error->message : ""));
        if (error) {
            g_error_free(error);
        }
    }
    g_key_file_free(keys);
}

}  // namespace quelm
