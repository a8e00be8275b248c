#pragma once

#include <functional>
#include <memory>
#include <string>

#include "QuelmHostKit/platform/SessionLock.hpp"

typedef struct _GDBusConnection GDBusConnection;

namespace quelm {

// The lock state of the user's session: logind's LockedHint of our session with its
// PropertiesChanged, Lock and Unlock signals, and beside it the desktop's screen saver
// (org.freedesktop.ScreenSaver ActiveChanged), for desktops that do not set the hint.
// Each source reports its state when it is first read and on every signal; the handler hears
// only changes. Everything is asynchronous; a missing bus or service is logged and ignored.
// Thread: the GLib main thread only.
class LogindSessionLock final : public SessionLock,
                                public std::enable_shared_from_this<LogindSessionLock> {
  public:
    static std::shared_ptr<LogindSessionLock> create();
    ~LogindSessionLock() override;

    void watch(std::function<void(bool locked)> onChange) override;

    // Called back from D-Bus.
    void report(bool locked);
    void sessionFound(GDBusConnection* bus, const std::string& path);
    void screenSaverFound(GDBusConnection* bus);

  private:
    LogindSessionLock() = default;

    std::function<void(bool)> onChange_;
    int last_ = -1;  // -1 unknown, else 0 or 1
    GDBusConnection* system_ = nullptr;
    GDBusConnection* session_ = nullptr;
    unsigned subscriptions_[4] = {0, 0, 0, 0};
};

}  // namespace quelm
