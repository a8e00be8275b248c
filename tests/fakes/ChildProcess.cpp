#include "tests/fakes/ChildProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

extern char** environ;

namespace quelm::test {

ChildProcess::ChildProcess(const std::vector<std::string>& args, const Options& options) {
    if (args.empty()) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, options.stdinFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, options.stdoutFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, options.stderrFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : options.environment) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(),
                    options.environment.empty() ? environ : envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    terminate();
}

std::optional<int> ChildProcess::wait(double seconds) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ChildProcess::terminate() {
    if (pid_ <= 0 || status_) {
        return;
    }
    kill(pid_, SIGTERM);
    if (!wait(5)) {
        kill(pid_, SIGKILL);
        wait(5);
    }
}

std::string ChildProcess::find(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t at = 0;
    for (;;) {
        auto end = dirs.find(':', at);
        auto dir = dirs.substr(at, end == std::string::npos ? std::string::npos : end - at);
        auto candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        if (end == std::string::npos) {
            return {};
        }
        at = end + 1;
    }
}

}  // namespace quelm::test
