#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quelm::test {

// A program run by a test with the environment it is given, its stdout read line by line and
// its stderr kept. Killed (SIGKILL) and reaped by its pid when released.
class PipedProcess {
  public:
    PipedProcess(std::vector<std::string> argv, std::vector<std::string> environment);
    ~PipedProcess();
    PipedProcess(const PipedProcess&) = delete;
    PipedProcess& operator=(const PipedProcess&) = delete;

    bool running() const { return pid_ > 0; }
    // True while the process has not exited.
    bool alive();
    void signal(int number);
    // The next stdout line, waiting up to `seconds`.
    std::optional<std::string> nextLine(double seconds = 5.0);
    // The next stdout line starting with `prefix`, skipping others.
    std::optional<std::string> lineStarting(const std::string& prefix, double seconds = 5.0);
    // Waits up to `seconds` for the exit; its status, or nothing (then it is killed).
    std::optional<int> wait(double seconds);
    // Every stdout line read so far, and the rest until the process ends.
    std::vector<std::string> allLines(double seconds);
    std::string errors();

    // The folder of a test binary's build tree a program was built in, e.g. "QuelmHost".
    static std::string built(const std::string& folder, const std::string& name);

  private:
    static bool readInto(int fd, std::string& buffer, int timeoutMs);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outBuffer_;
    std::string errors_;
    std::vector<std::string> seen_;
};

}  // namespace quelm::test
