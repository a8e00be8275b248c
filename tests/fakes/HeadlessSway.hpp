#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/ChildProcess.hpp"

namespace quelm::test {

// A private headless sway (one 1920x1080 output "HEADLESS-1", no XWayland, no borders) under a
// session bus of its own, run as the unprivileged user nobody (sway refuses root) with a
// runtime folder of its own. Stopped by its process id when released.
class HeadlessSway {
  public:
    static constexpr int width = 1920;
    static constexpr int height = 1080;

    // Nothing, with the reason, when sway is missing or does not come up.
    static std::unique_ptr<HeadlessSway> start(std::string& why);
    ~HeadlessSway();
    HeadlessSway(const HeadlessSway&) = delete;
    HeadlessSway& operator=(const HeadlessSway&) = delete;

    const std::string& runtimeDir() const { return runtimeDir_; }
    // The compositor's socket as an absolute path (what wl_display_connect takes).
    std::string socketPath() const { return runtimeDir_ + "/" + display_; }
    const std::string& swaySocket() const { return swaySocket_; }
    // What a Wayland client of this session needs in its environment.
    std::vector<std::string> environment() const;
    // `argv` run as the session's user with `environment()` (and `extra`).
    std::vector<std::string> asUser(const std::vector<std::string>& argv,
                                    const std::vector<std::string>& extra = {}) const;
    // Runs a sway command over its IPC; its output.
    std::string command(const std::string& text) const;
    // Kills the compositor at once, as a crash would.
    void kill();
    // After kill(): a new compositor in the same session folder, on the same socket name (its
    // IPC socket is a new one). False, with the reason, when it does not come up there.
    bool restart(std::string& why);
    bool alive() const;

  private:
    HeadlessSway() = default;
    bool launch(std::string& why);
    bool waitForSockets(double seconds);

    std::string runtimeDir_;
    std::string display_;
    std::string swaySocket_;
    pid_t swayPid_ = -1;
    std::unique_ptr<ChildProcess> session_;
};

}  // namespace quelm::test
