#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "QuelmHostKit/platform/SettingsStore.hpp"

namespace quelm {

// Settings in a GLib key file, group "Host", under the user's XDG config folder
// ($XDG_CONFIG_HOME/quelmix/settings.ini, else ~/.config/quelmix/settings.ini). Every write
// replaces the file atomically. Thread: main thread only.
class KeyFileSettingsStore final : public SettingsStore {
  public:
    explicit KeyFileSettingsStore(std::filesystem::path file);
    static KeyFileSettingsStore forCurrentUser();

    std::optional<bool> boolValue(const std::string& key) const override;
    void setBool(const std::string& key, bool value) override;

    const std::filesystem::path& file() const { return file_; }

  private:
    std::filesystem::path file_;
};

}  // namespace quelm
