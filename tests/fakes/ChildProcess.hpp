#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quelm::test {

// A program run by a test, ended by its pid when the test is done with it.
class ChildProcess {
  public:
    struct Options {
        // Empty: the test's own environment.
        std::vector<std::string> environment;
        std::string stdinFile = "/dev/null";
        std::string stdoutFile = "/dev/null";
        std::string stderrFile = "/dev/null";
    };

    ChildProcess(const std::vector<std::string>& args, const Options& options);
    explicit ChildProcess(const std::vector<std::string>& args) : ChildProcess(args, Options{}) {}
    // Terminates the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The exit status (128 + signal for a killed child), or nothing while it runs after
    // `seconds`.
    std::optional<int> wait(double seconds);
    // SIGTERM, then SIGKILL when it does not end within five seconds.
    void terminate();

    // The full path of a program found on PATH, or empty.
    static std::string find(const std::string& name);

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace quelm::test
