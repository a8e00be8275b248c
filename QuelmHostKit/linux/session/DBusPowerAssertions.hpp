#pragma once

#include <map>
#include <memory>
#include <string>

#include "QuelmHostKit/platform/PowerAssertions.hpp"

namespace quelm {

// Power assertions over D-Bus: keeping the system awake is a logind "idle" inhibitor (held as
// long as its file descriptor is open; the user may still suspend by hand); keeping the display on
// is an idle inhibit of the desktop's screen saver (org.freedesktop.ScreenSaver, given back with
// UnInhibit). Both are asked for asynchronously; a missing bus or service is logged and the
// assertion simply does nothing. Thread: the GLib main thread only.
class DBusPowerAssertions final : public PowerAssertions,
                                  public std::enable_shared_from_this<DBusPowerAssertions> {
  public:
    static std::shared_ptr<DBusPowerAssertions> create();
    ~DBusPowerAssertions() override;

    Id create(Kind kind, const std::string& reason) override;
    void release(Id id) override;

    // Called back from the D-Bus replies.
    void granted(Id id, Kind kind, int fd, std::uint32_t cookie);

  private:
    DBusPowerAssertions() = default;
    struct Held {
        Kind kind;
        int fd = -1;
        std::uint32_t cookie = 0;
        bool answered = false;
    };
    static void giveBack(const Held& held);

    Id next_ = 0;
    std::map<Id, Held> held_;
};

}  // namespace quelm
