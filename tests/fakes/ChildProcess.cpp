#include "tests/fakes/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace quelm::test {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

// A child given its own environment still runs under the test run's sanitizer options (the
// suppressions among them).
std::vector<std::string> withSanitizerOptions(std::vector<std::string> environment) {
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const char* value = std::getenv(name);
        const std::string prefix = std::string(name) + "=";
        const bool given = std::any_of(environment.begin(), environment.end(),
                                       [&](const auto& e) { return e.starts_with(prefix); });
        if (value != nullptr && !given) {
            environment.push_back(prefix + value);
        }
    }
    return environment;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// Between fork and exec only async-signal-safe calls: the test has threads.
void place(int fd, int target) {
    if (fd == target) {
        fcntl(fd, F_SETFD, 0);
    } else {
        dup2(fd, target);
        close(fd);
    }
}

int decode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& args, const Options& options) {
    if (args.empty()) {
        return;
    }
    std::string path = args[0].find('/') == std::string::npos ? find(args[0]) : args[0];
    if (path.empty()) {
        return;
    }
    std::vector<std::string> argStrings = args;
    std::vector<std::string> envStrings = withSanitizerOptions(options.environment);
    auto argv = pointers(argStrings);
    auto envp = pointers(envStrings);
    char* const* env = options.environment.empty() ? environ : envp.data();

    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int report[2] = {-1, -1};
    const auto closeAll = [&] {
        for (int fd : {out[0], out[1], err[0], err[1], report[0], report[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    };
    if ((options.pipeStdout && pipe2(out, O_CLOEXEC) != 0) ||
        (options.pipeStderr && pipe2(err, O_CLOEXEC) != 0) || pipe2(report, O_CLOEXEC) != 0) {
        closeAll();
        return;
    }
    const bool sharedFile =
        !options.pipeStdout && !options.pipeStderr && options.stdoutFile == options.stderrFile;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        const auto fail = [&] {
            const int error = errno;
            [[maybe_unused]] auto written = write(report[1], &error, sizeof error);
            _exit(127);
        };
        if (options.ownGroup) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(127);
            }
        }
        const int in = open(options.stdinFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            fail();
        }
        place(in, 0);
        const int output =
            options.pipeStdout
                ? out[1]
                : open(options.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (output < 0) {
            fail();
        }
        place(output, 1);
        if (sharedFile) {
            dup2(1, 2);
        } else {
            const int errors = options.pipeStderr
                                   ? err[1]
                                   : open(options.stderrFile.c_str(),
                                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (errors < 0) {
                fail();
            }
            place(errors, 2);
        }
        for (int fd : options.inherit) {
            fcntl(fd, F_SETFD, 0);
        }
        execve(path.c_str(), argv.data(), env);
        fail();
    }
    for (int* end : {&out[1], &err[1], &report[1]}) {
        if (*end >= 0) {
            close(*end);
            *end = -1;
        }
    }
    if (pid < 0) {
        closeAll();
        return;
    }
    // The report pipe closes at exec; an errno on it means the program did not run.
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        waitpid(pid, nullptr, 0);
        closeAll();
        return;
    }
    close(report[0]);
    pid_ = pid;
    out_ = out[0];
    err_ = err[0];
}

ChildProcess::~ChildProcess() {
    terminate();
    for (int fd : {out_, err_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0 || status_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decode(status);
        return false;
    }
    return true;
}

void ChildProcess::signal(int number) {
    if (running()) {
        ::kill(pid_, number);
    }
}

std::optional<int> ChildProcess::wait(double seconds, const std::function<void()>& pump) {
    const auto deadline = after(seconds);
    for (;;) {
        collect();
        if (!running()) {
            collect();
            return status_;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        if (pump) {
            pump();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pump ? 5 : 20));
    }
}

void ChildProcess::terminate(double grace) {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (!wait(grace)) {
        kill();
    }
}

void ChildProcess::kill() {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = decode(status);
}

std::optional<std::string> ChildProcess::nextLine(double seconds) {
    const auto deadline = after(seconds);
    for (;;) {
        if (auto newline = output_.find('\n', consumed_); newline != std::string::npos) {
            std::string line = output_.substr(consumed_, newline - consumed_);
            consumed_ = newline + 1;
            return line;
        }
        if (!readInto(out_, output_, millisecondsUntil(deadline))) {
            return std::nullopt;
        }
    }
}

std::optional<std::string> ChildProcess::lineStarting(const std::string& prefix, double seconds) {
    const auto deadline = after(seconds);
    for (;;) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        auto line = nextLine(std::max(left, 0.0));
        if (!line || line->starts_with(prefix)) {
            return line;
        }
    }
}

std::vector<std::string> ChildProcess::allLines(double seconds) {
    const auto deadline = after(seconds);
    while (readInto(out_, output_, millisecondsUntil(deadline))) {
    }
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (auto newline = output_.find('\n'); newline != std::string::npos;
         newline = output_.find('\n', at)) {
        lines.push_back(output_.substr(at, newline - at));
        at = newline + 1;
    }
    consumed_ = at;
    return lines;
}

std::string ChildProcess::errors() {
    while (readInto(err_, errors_, 50)) {
    }
    return errors_;
}

void ChildProcess::collect() {
    while (readInto(out_, output_, 0)) {
    }
    while (readInto(err_, errors_, 0)) {
    }
}

bool ChildProcess::readInto(int& fd, std::string& into, int timeoutMs) {
    if (fd < 0) {
        return false;
    }
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) <= 0) {
        return false;
    }
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) {
        return true;
    }
    if (got <= 0) {
        close(fd);
        fd = -1;
        return false;
    }
    into.append(chunk, static_cast<std::size_t>(got));
    return true;
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

std::string ChildProcess::built(const std::string& folder, const std::string& name) {
    namespace fs = std::filesystem;
    return (fs::canonical("/proc/self/exe").parent_path().parent_path() / folder / name).string();
}

std::string ChildProcess::tail(const std::string& path, std::size_t bytes) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > bytes ? all.substr(all.size() - bytes) : all;
}

std::unique_ptr<ChildProcess> ChildProcess::startXServer(std::vector<std::string> args,
                                                         const std::string& log, double seconds,
                                                         int& display, std::string& why) {
    int number[2];
    if (pipe2(number, O_CLOEXEC) != 0) {
        why = "pipe failed";
        return nullptr;
    }
    const std::string program = args.empty() ? std::string() : args[0];
    args.push_back("-displayfd");
    args.push_back(std::to_string(number[1]));
    Options options;
    options.stdoutFile = log;
    options.stderrFile = log;
    options.ownGroup = true;
    options.inherit = {number[1]};
    auto server = std::make_unique<ChildProcess>(args, options);
    close(number[1]);
    if (!server->started()) {
        close(number[0]);
        why = program + " could not be run";
        return nullptr;
    }
    std::string text;
    const auto deadline = after(seconds);
    while (text.find('\n') == std::string::npos) {
        if (Clock::now() >= deadline) {
            why = program + " gave no display number in time: " + tail(log);
            server.reset();
            break;
        }
        // At the end of the pipe without a number the server is going away.
        if (!readInto(number[0], text, 100) && !server->running()) {
            why = program + " exited at start: " + tail(log);
            server.reset();
            break;
        }
        if (number[0] < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (number[0] >= 0) {
        close(number[0]);
    }
    if (server) {
        display = std::atoi(text.c_str());
    }
    return server;
}

}  // namespace quelm::test
