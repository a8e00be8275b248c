#include "QuelmHost/HeadlessFrontEnd.hpp"

#include "QuelmCore/ConnectionTarget.hpp"
#include "QuelmHost/QrCode.hpp"
#include "QuelmHost/StatusLine.hpp"

namespace quelm {

namespace {

constexpr const char* kLoopback = "127.0.0.1";

void print(std::FILE* out, const std::string& line) {
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    // A pipe reader (a script, a test) sees each line at once.
    std::fflush(out);
}

// The companion scans the Tailscale URL; the loopback one is for tests on this machine.
void printURL(std::FILE* out, const std::string& address, std::uint16_t port,
              const std::string& token, bool qrCode) {
    auto url = ConnectionTarget{address, port, token}.shareString();
    print(out, url);
    if (qrCode && address != kLoopback) {
        if (auto code = QrCode::encode(url)) {
            std::fputs(code->terminalText().c_str(), out);
            std::fflush(out);
        }
    }
}

}  // namespace

HeadlessFrontEnd::HeadlessFrontEnd(TextSource token, TextSource tailscaleAddress,
                                   UrlOutput urlOutput, std::string program, std::FILE* out)
    : token_(std::move(token)),
      tailscaleAddress_(std::move(tailscaleAddress)),
      urlOutput_(urlOutput),
      program_(std::move(program)),
      out_(out) {}

void HeadlessFrontEnd::begin() {
    printStatus();
}

void HeadlessFrontEnd::statusChanged(const RemoteServer::Status& status) {
    status_ = status;
    printStatus();
}

void HeadlessFrontEnd::listening(const std::string& address, std::uint16_t port) {
    if (urlOutput_ == UrlOutput::full) {
        auto token = token_();
        if (!token) {
            return;  // without a secret there is no URL to give out
        }
        printURL(out_, address, port, *token, true);
    } else {
        std::string command = program_ + " --show-url";
        if (address == kLoopback) {
            command += " --allow-local";
        }
        if (port != Wire::defaultPort) {
            command += " --port " + std::to_string(port);
        }
        print(out_, "listening on " + address + ":" + std::to_string(port) +
                        "; the connection URL: " + command);
    }
    // A new Tailscale address changes the waiting line too.
    if (std::holds_alternative<RemoteServer::Waiting>(status_) && address != kLoopback) {
        printStatus();
    }
}

std::optional<std::string> HeadlessFrontEnd::printURLs(const TextSource& token,
                                                       const TextSource& tailscaleAddress,
                                                       std::uint16_t port, bool local, bool qrCode,
                                                       std::FILE* out) {
    auto address = tailscaleAddress();
    if (!address && !local) {
        return "no Tailscale address (is Tailscale up?); --allow-local gives the URL for this "
               "machine";
    }
    auto secret = token();
    if (!secret) {
        return "no connection secret: the random source failed";
    }
    if (address) {
        printURL(out, *address, port, *secret, qrCode);
    }
    if (local) {
        printURL(out, kLoopback, port, *secret, qrCode);
    }
    return std::nullopt;
}

void HeadlessFrontEnd::printStatus() {
    print(out_, statusLine(status_, tailscaleAddress_()));
}

}  // namespace quelm
