#pragma once

#include <optional>
#include <string>

#include "QuelmHostKit/server/RemoteServer.hpp"

namespace quelm {

// The first line of the menu (and of the terminal front end) for a status, given the current
// Tailscale address.
std::string statusLine(const RemoteServer::Status& status,
                       const std::optional<std::string>& tailscaleAddress);

}  // namespace quelm
