#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelm::test {

// A program run by a test, ended by its pid when the test is done with it. Its stdout and
// stderr go to files, or to pipes the test reads.
class ChildProcess {
  public:
    struct Options {
        // Empty: the test's own environment. Otherwise the test's sanitizer options are added.
        std::vector<std::string> environment;
        std::string stdinFile = "/dev/null";
        // One file for both: a single stream, in the order written.
        std::string stdoutFile = "/dev/null";
        std::string stderrFile = "/dev/null";
        // Read by the test (nextLine, output, errors) instead of going to the files.
        bool pipeStdout = false;
        bool pipeStderr = false;
        // For servers: a process group of its own, so that a Ctrl-C meant for the test run
        // spares it, and killed when the test process dies.
        bool ownGroup = false;
        // Descriptors of the test the child keeps, under the same numbers.
        std::vector<int> inherit;
    };

    // args[0] is a path, or a name looked up on PATH.
    ChildProcess(const std::vector<std::string>& args, const Options& options);
    explicit ChildProcess(const std::vector<std::string>& args) : ChildProcess(args, Options{}) {}
    // Terminates the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False when the program could not be run at all.
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // True until it exits.
    bool running();
    void signal(int number);
    // The exit status (128 + signal for a killed child), or nothing while it runs after
    // `seconds`. `pump` runs between polls, so that the test's own main loop can answer the
    // child (a clipboard owner in the test serving the child's request); piped output is
    // collected meanwhile, so a chatty child does not block.
    std::optional<int> wait(double seconds, const std::function<void()>& pump = {});
    // SIGTERM, then SIGKILL when it does not end within `grace` seconds.
    void terminate(double grace = 5);
    // SIGKILL at once, as a crash would end it.
    void kill();

    // With a piped stdout: the next line, waiting up to `seconds`.
    std::optional<std::string> nextLine(double seconds = 5.0);
    // The next line starting with `prefix`, skipping others.
    std::optional<std::string> lineStarting(const std::string& prefix, double seconds = 5.0);
    // Every line, those read so far and the rest until stdout closes or `seconds` pass.
    std::vector<std::string> allLines(double seconds);
    // Everything read from stdout so far (all of it once wait() saw the exit).
    const std::string& output() const { return output_; }
    // With a piped stderr: what it wrote so far, waiting briefly for more.
    std::string errors();

    // Options with `environment` and both streams piped to the test.
    static Options piped(std::vector<std::string> environment) {
        Options options{std::move(environment)};
        options.pipeStdout = true;
        options.pipeStderr = true;
        return options;
    }
    // The full path of a program found on PATH, or empty.
    static std::string find(const std::string& name);
    // A program of this build tree, by its folder ("QuelmHost") and name.
    static std::string built(const std::string& folder, const std::string& name);
    // The last `bytes` of a file, for failure messages.
    static std::string tail(const std::string& path, std::size_t bytes = 400);

    // An X server (args[0] a path) started with -displayfd, its output to `log`: the server
    // and, in `display`, the number it picked once it reports it within `seconds`. Nothing,
    // with the reason in `why`, otherwise.
    static std::unique_ptr<ChildProcess> startXServer(std::vector<std::string> args,
                                                      const std::string& log, double seconds,
                                                      int& display, std::string& why);

  private:
    // Moves what `fd` has ready into `into`, waiting up to `timeoutMs` for the first bytes;
    // false at a time-out or the end (then `fd` is closed).
    static bool readInto(int& fd, std::string& into, int timeoutMs);
    void collect();

    pid_t pid_ = -1;
    std::optional<int> status_;
    int out_ = -1;
    int err_ = -1;
    std::string output_;
    std::size_t consumed_ = 0;
    std::string errors_;
};

}  // namespace quelm::test
