#include "tests/fakes/PipedProcess.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace quelm::test {

PipedProcess::PipedProcess(std::vector<std::string> argv, std::vector<std::string> environment) {
    int out[2];
    int err[2];
    if (pipe(out) != 0) {
        return;
    }
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    // A sanitizer run's options (suppressions among them) hold for the children too.
    if (const char* options = std::getenv("TSAN_OPTIONS")) {
        const bool given = std::any_of(environment.begin(), environment.end(), [](const auto& e) {
            return e.starts_with("TSAN_OPTIONS=");
        });
        if (!given) {
            environment.push_back(std::string("TSAN_OPTIONS=") + options);
        }
    }
    std::vector<char*> envp;
    for (auto& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

PipedProcess::~PipedProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
        close(out_);
    }
    if (err_ >= 0) {
        close(err_);
    }
}

bool PipedProcess::alive() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void PipedProcess::signal(int number) {
    if (pid_ > 0) {
        kill(pid_, number);
    }
}

std::optional<std::string> PipedProcess::nextLine(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (auto newline = outBuffer_.find('\n'); newline != std::string::npos) {
            std::string line = outBuffer_.substr(0, newline);
            outBuffer_.erase(0, newline + 1);
            seen_.push_back(line);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readInto(out_, outBuffer_, static_cast<int>(left.count()))) {
            return std::nullopt;
        }
    }
}

std::optional<std::string> PipedProcess::lineStarting(const std::string& prefix, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return std::nullopt;
        }
        auto line = nextLine(left);
        if (!line) {
            return std::nullopt;
        }
        if (line->rfind(prefix, 0) == 0) {
            return line;
        }
    }
}

std::optional<int> PipedProcess::wait(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

std::vector<std::string> PipedProcess::allLines(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !nextLine(left)) {
            break;
        }
    }
    return seen_;
}

std::string PipedProcess::errors() {
    while (readInto(err_, errors_, 50)) {
    }
    return errors_;
}

std::string PipedProcess::built(const std::string& folder, const std::string& name) {
    namespace fs = std::filesystem;
    return (fs::canonical("/proc/self/exe").parent_path().parent_path() / folder / name).string();
}

bool PipedProcess::readInto(int fd, std::string& buffer, int timeoutMs) {
    if (fd < 0) {
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
        return false;
    }
    char chunk[4096];
    auto n = read(fd, chunk, sizeof chunk);
    if (n <= 0) {
        return false;
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
}

}  // namespace quelm::test
