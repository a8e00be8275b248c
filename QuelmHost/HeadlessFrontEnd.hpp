#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "QuelmHostKit/server/RemoteServer.hpp"

namespace quelm {

// The terminal front end: prints the status line at start and at every change, and the
// connection URL for every address the server starts listening on, the Tailscale one also as
// a QR code to scan. The secret appears only in those lines on `out`, never in the log.
// Thread: main queue only.
class HeadlessFrontEnd final {
  public:
    using TextSource = std::function<std::optional<std::string>()>;

    HeadlessFrontEnd(TextSource token, TextSource tailscaleAddress, std::FILE* out = stdout,
                     bool showQrCode = true);

    void begin();
    void statusChanged(const RemoteServer::Status& status);
    void listening(const std::string& address, std::uint16_t port);

  private:
    void printStatus();
    void print(const std::string& line);

    TextSource token_;
    TextSource tailscaleAddress_;
    std::FILE* out_;
    bool showQrCode_;
    RemoteServer::Status status_ = RemoteServer::Waiting{};
};

}  // namespace quelm
