#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace quelm {

// The companion's choice between this system's video link and the host's built-in screen
// sharing (VNC). `automatic` is the case whose raw value is "auto" (a C++ keyword).
enum class ConnectionMode { automatic, h264, vnc };

inline constexpr std::array<ConnectionMode, 3> allConnectionModes{
    ConnectionMode::automatic, ConnectionMode::h264, ConnectionMode::vnc};

std::string_view rawValue(ConnectionMode mode);
std::optional<ConnectionMode> connectionMode(std::string_view raw);

// The display name in the current language; the Japanese text is the key.
std::string title(ConnectionMode mode);

// Whether to use screen sharing: `automatic` does unless the target has a token and the host
// answered.
bool usesVNC(ConnectionMode mode, bool hostToken, bool hostReachable);

}  // namespace quelm
