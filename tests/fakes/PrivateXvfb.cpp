#include "tests/fakes/PrivateXvfb.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace quelm::test {

PrivateXvfb::PrivateXvfb(int width, int height) {
    const char* binary = "/usr/bin/Xvfb";
    if (!std::filesystem::exists(binary)) {
        problem_ = "Xvfb is not installed";
        return;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        problem_ = "no pipe";
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        execl(binary, binary, "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
              "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        problem_ = "fork failed";
        return;
    }
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    while (poll(&wait, 1, 10000) > 0) {
        char c;
        if (read(fds[0], &c, 1) != 1 || c == '\n') {
            break;
        }
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        problem_ = "Xvfb did not start";
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return;
    }
    display_ = ":" + number;
}

PrivateXvfb::~PrivateXvfb() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

}  // namespace quelm::test
