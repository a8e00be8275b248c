#pragma once

#include <mutex>
#include <optional>
#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace quelm {

// Opens the desktop shell's overview of windows and workspaces: GNOME Shell's overview, or
// KDE's overview effect, over the session bus. Thread-safe; calls are synchronous with a short
// time-out.
class DesktopOverview final {
  public:
    enum class Result { opened, noShell, failed };

    DesktopOverview();
    ~DesktopOverview();
    DesktopOverview(const DesktopOverview&) = delete;
    DesktopOverview& operator=(const DesktopOverview&) = delete;

    // `failure` describes a shell's refusal.
    Result open(std::string& failure);

  private:
    GDBusConnection* bus(std::string& failure);

    std::mutex mutex_;
    GDBusConnection* bus_ = nullptr;
};

}  // namespace quelm
