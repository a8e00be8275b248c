#include "tests/fakes/PrivateXvfb.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/fakes/ServerProcess.hpp"

namespace quelm::test {

std::unique_ptr<PrivateXvfb> PrivateXvfb::start(std::string& why, int width, int height) {
    std::string xvfb;
    for (const char* candidate : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"}) {
        if (access(candidate, X_OK) == 0) {
            xvfb = candidate;
            break;
        }
    }
    if (xvfb.empty()) {
        why = "no Xvfb binary";
        return nullptr;
    }
    char pattern[] = "/tmp/quelm-xvfb-XXXXXX.log";
    const int logFD = mkstemps(pattern, 4);
    if (logFD < 0) {
        why = "no temporary file";
        return nullptr;
    }
    close(logFD);
    const std::string log = pattern;
    auto server = std::unique_ptr<PrivateXvfb>(new PrivateXvfb);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const auto number = ServerProcess::launchWithDisplayFD(
        {xvfb, "-screen", "0", screen, "-nolisten", "tcp", "-noreset"}, log,
        std::chrono::seconds(15), server->pid_, why);
    unlink(log.c_str());
    if (!number) {
        return nullptr;
    }
    server->number_ = *number;
    return server;
}

PrivateXvfb::~PrivateXvfb() {
    ServerProcess::stop(pid_);
}

void PrivateXvfb::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

}  // namespace quelm::test
