#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "QuelmHostKit/server/RemoteServer.hpp"

namespace quelm {

// The terminal front end: prints the status line at start and at every change, and a line for
// every address the server starts listening on. The connection URL carries the secret, so it is
// printed (with a QR code of the Tailscale one) only where the user watches a terminal; anywhere
// else (a journal, a file, the tray's session) the line says how to ask for it. The secret is
// never in the log. Thread: main queue only.
class HeadlessFrontEnd final {
  public:
    using TextSource = std::function<std::optional<std::string>()>;

    enum class UrlOutput {
        full,  // the URL and its QR code
        hint,  // the address and port, and the command that prints the URL
    };

    // `program` is the host's command as the user started it, for the hint.
    HeadlessFrontEnd(TextSource token, TextSource tailscaleAddress, UrlOutput urlOutput,
                     std::string program, std::FILE* out = stdout);

    void begin();
    void statusChanged(const RemoteServer::Status& status);
    void listening(const std::string& address, std::uint16_t port);

    // The URLs a companion would use now, on demand: the Tailscale one and, with `local`, the
    // loopback one; QR codes too when `qrCode`. Nothing printed, and the reason returned, without
    // an address to print or without a secret.
    static std::optional<std::string> printURLs(const TextSource& token,
                                                const TextSource& tailscaleAddress,
                                                std::uint16_t port, bool local, bool qrCode,
                                                std::FILE* out);

  private:
    void printStatus();

    TextSource token_;
    TextSource tailscaleAddress_;
    UrlOutput urlOutput_;
    std::string program_;
    std::FILE* out_;
    RemoteServer::Status status_ = RemoteServer::Waiting{};
};

}  // namespace quelm
