#include "tests/fakes/PrivateXvfb.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace quelm::test {

std::unique_ptr<PrivateXvfb> PrivateXvfb::start(std::string& why, int width, int height) {
    auto server = std::unique_ptr<PrivateXvfb>(new PrivateXvfb);
    server->width_ = width;
    server->height_ = height;
    if (!server->launch(-1, why)) {
        return nullptr;
    }
    return server;
}

bool PrivateXvfb::restart(std::string& why) {
    kill();
    releaseNumber();
    return launch(number_, why);
}

void PrivateXvfb::reserveNumber() {
    if (number_ < 0) {
        return;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    // The abstract name comes first in an X server's own listeners.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "/tmp/.X11-unix/X" + std::to_string(number_);
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(fd);
        return;
    }
    reservation_ = fd;
}

void PrivateXvfb::releaseNumber() {
    if (reservation_ >= 0) {
        close(reservation_);
        reservation_ = -1;
    }
}

bool PrivateXvfb::launch(int number, std::string& why) {
    std::string xvfb;
    for (const char* candidate : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"}) {
        if (access(candidate, X_OK) == 0) {
            xvfb = candidate;
            break;
        }
    }
    if (xvfb.empty()) {
        why = "no Xvfb binary";
        return false;
    }
    char pattern[] = "/tmp/quelm-xvfb-XXXXXX.log";
    const int logFD = mkstemps(pattern, 4);
    if (logFD < 0) {
        why = "no temporary file";
        return false;
    }
    close(logFD);
    const std::string log = pattern;
    const std::string screen = std::to_string(width_) + "x" + std::to_string(height_) + "x24";
    std::vector<std::string> argv{xvfb, "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
    if (number >= 0) {
        // With a number given, -displayfd still says when the server is ready.
        argv.insert(argv.begin() + 1, ":" + std::to_string(number));
    }
    server_ = ChildProcess::startXServer(std::move(argv), log, 15, number_, why);
    unlink(log.c_str());
    return server_ != nullptr;
}

PrivateXvfb::~PrivateXvfb() {
    server_.reset();
    releaseNumber();
}

void PrivateXvfb::kill() {
    if (server_) {
        server_->kill();
        server_.reset();
        reserveNumber();
    }
}

}  // namespace quelm::test
