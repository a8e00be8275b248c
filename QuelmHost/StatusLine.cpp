#include "QuelmHost/StatusLine.hpp"

namespace quelm {

std::string statusLine(const RemoteServer::Status& status,
                       const std::optional<std::string>& tailscaleAddress) {
    if (const auto* connected = std::get_if<RemoteServer::Connected>(&status)) {
        return "接続中: " + connected->peer;
    }
    if (tailscaleAddress) {
        return "待機中: " + *tailscaleAddress;
    }
    return "Tailscaleのアドレスが見つかりません";
}

}  // namespace quelm
