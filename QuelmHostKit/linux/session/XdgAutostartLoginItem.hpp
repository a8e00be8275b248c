#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "QuelmHostKit/platform/LoginItem.hpp"

namespace quelm {

// Start at login as an XDG autostart entry: a desktop file in the user's autostart folder
// ($XDG_CONFIG_HOME/autostart, else ~/.config/autostart) that runs this executable.
// Thread: main thread only; touches one small file.
class XdgAutostartLoginItem final : public LoginItem {
  public:
    // `executable` is what the entry runs; `folder` the autostart folder.
    XdgAutostartLoginItem(std::filesystem::path executable, std::filesystem::path folder);
    // This process's executable in the user's autostart folder.
    static XdgAutostartLoginItem forCurrentUser();
    // The program a /proc/PID/exe link names. A package upgrade replaces the file under a
    // running host, and the kernel then appends " (deleted)"; the entry must run the new one.
    static std::filesystem::path executableFromLink(const std::filesystem::path& link);

    bool isEnabled() const override;
    std::optional<std::string> setEnabled(bool enabled) override;

    std::filesystem::path entryPath() const;

  private:
    std::filesystem::path executable_;
    std::filesystem::path folder_;
};

}  // namespace quelm
