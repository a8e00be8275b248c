#include "tests/fakes/PumpedProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace quelm::test {

PumpedProcess::PumpedProcess(std::vector<std::string> argv) {
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
    fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
}

PumpedProcess::~PumpedProcess() {
    stop();
    if (out_ >= 0) {
        close(out_);
    }
}

void PumpedProcess::drain() {
    char buffer[4096];
    ssize_t got;
    while ((got = read(out_, buffer, sizeof buffer)) > 0) {
        output_.append(buffer, std::size_t(got));
    }
}

int PumpedProcess::wait(double seconds, const std::function<void()>& pump) {
    if (pid_ <= 0) {
        return -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        drain();
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            drain();
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        }
        if (pump) {
            pump();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

void PumpedProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

}  // namespace quelm::test
