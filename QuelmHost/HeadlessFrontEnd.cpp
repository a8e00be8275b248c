#include "QuelmHost/HeadlessFrontEnd.hpp"

#include "QuelmCore/ConnectionTarget.hpp"
#include "QuelmHost/QrCode.hpp"
#include "QuelmHost/StatusLine.hpp"

namespace quelm {

HeadlessFrontEnd::HeadlessFrontEnd(TextSource token, TextSource tailscaleAddress, std::FILE* out,
                                   bool showQrCode)
    : token_(std::move(token)),
      tailscaleAddress_(std::move(tailscaleAddress)),
      out_(out),
      showQrCode_(showQrCode) {}

void HeadlessFrontEnd::begin() {
    printStatus();
}

void HeadlessFrontEnd::statusChanged(const RemoteServer::Status& status) {
    status_ = status;
    printStatus();
}

void HeadlessFrontEnd::listening(const std::string& address, std::uint16_t port) {
    auto token = token_();
    if (!token) {
        return;  // without a secret there is no URL to give out
    }
    auto url = ConnectionTarget{address, port, *token}.shareString();
    print(url);
    // The companion scans the Tailscale URL; the loopback one is for tests on this machine.
    if (showQrCode_ && address != "127.0.0.1") {
        if (auto code = QrCode::encode(url)) {
            std::fputs(code->terminalText().c_str(), out_);
            std::fflush(out_);
        }
    }
    // A new Tailscale address changes the waiting line too.
    if (std::holds_alternative<RemoteServer::Waiting>(status_) && address != "127.0.0.1") {
        printStatus();
    }
}

void HeadlessFrontEnd::printStatus() {
    print(statusLine(status_, tailscaleAddress_()));
}

void HeadlessFrontEnd::print(const std::string& line) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    // A pipe reader (a script, a test) sees each line at once.
    std::fflush(out_);
}

}  // namespace quelm
