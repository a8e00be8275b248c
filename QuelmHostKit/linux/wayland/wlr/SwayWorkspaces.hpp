#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "QuelmHostKit/platform/EventPoster.hpp"

namespace quelm {

// Workspaces of sway through its IPC socket ($SWAYSOCK): the workspaces of the focused output
// in sway's order, and switches to the next or previous one on that output. One short-lived
// connection per question; when the socket no longer answers, a restarted sway's socket in the
// same folder is used instead. Thread-safe.
class SwayWorkspaces {
  public:
    static constexpr int timeoutMs = 1000;

    // Nothing when SWAYSOCK is not set.
    static std::unique_ptr<SwayWorkspaces> fromEnvironment();
    explicit SwayWorkspaces(std::string socketPath) : socketPath_(std::move(socketPath)) {}

    std::optional<SpaceInfo> info() const;
    bool switchTo(bool toRight) const;
    // The app id (or X11 class) of the focused window.
    std::optional<std::string> focusedApp() const;

    // From a GET_WORKSPACES reply: the focused workspace's place among those of its output.
    static std::optional<SpaceInfo> parseWorkspaces(const std::string& json);
    // From a GET_TREE reply.
    static std::optional<std::string> parseFocusedApp(const std::string& json);
    // The newest IPC socket in `folder` of a sway that still runs; nothing when none.
    static std::optional<std::string> liveSocketIn(const std::string& folder);

  private:
    // A connected socket, or -1.
    int connectSocket() const;
    std::optional<std::string> request(std::uint32_t type, const std::string& payload) const;

    mutable std::mutex mutex_;
    mutable std::string socketPath_;
};

}  // namespace quelm
