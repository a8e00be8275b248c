#include "tests/fakes/ServerProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace quelm::test::ServerProcess {

std::optional<int> launchWithDisplayFD(std::vector<std::string> argv, const std::string& outputPath,
                                       std::chrono::seconds limit, pid_t& pid, std::string& why) {
    int numberPipe[2];
    if (pipe2(numberPipe, O_CLOEXEC) != 0) {
        why = "pipe failed";
        return std::nullopt;
    }
    argv.push_back("-displayfd");
    argv.push_back(std::to_string(numberPipe[1]));
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);

    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
        // Only the write end crosses exec.
        fcntl(numberPipe[1], F_SETFD, 0);
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        // A Ctrl-C meant for the test run must not take the server down before the test, and a
        // test process that dies must not leave the server behind.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    close(numberPipe[1]);
    if (pid < 0) {
        close(numberPipe[0]);
        why = "fork failed";
        return std::nullopt;
    }

    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd readable{numberPipe[0], POLLIN, 0};
        if (poll(&readable, 1, 100) > 0) {
            char chunk[16];
            const ssize_t got = read(numberPipe[0], chunk, sizeof chunk);
            if (got > 0) {
                text.append(chunk, static_cast<std::size_t>(got));
                if (text.find('\n') != std::string::npos) {
                    close(numberPipe[0]);
                    return std::atoi(text.c_str());
                }
                continue;
            }
            // End of file: the server closed the pipe without a number, it is going away.
        }
        if (exited(pid, std::chrono::milliseconds(0))) {
            close(numberPipe[0]);
            pid = -1;
            why = argv[0] + " exited at start: " + tail(outputPath);
            return std::nullopt;
        }
    }
    close(numberPipe[0]);
    stop(pid);
    pid = -1;
    why = argv[0] + " gave no display number in time: " + tail(outputPath);
    return std::nullopt;
}

bool exited(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void stop(pid_t pid, std::chrono::milliseconds grace) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    if (!exited(pid, grace)) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string tail(const std::string& path, std::size_t bytes) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > bytes ? all.substr(all.size() - bytes) : all;
}

}  // namespace quelm::test::ServerProcess
