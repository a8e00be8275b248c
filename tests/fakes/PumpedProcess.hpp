#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace quelm::test {

// A helper program run by a test (xclip, zbarimg ...), its stdout collected. While waiting,
// `pump` runs between reads, so the test's own main loop can answer the child (a clipboard
// owner in this process must serve the child's request).
class PumpedProcess final {
  public:
    explicit PumpedProcess(std::vector<std::string> argv);
    ~PumpedProcess();  // kills the child if it still runs
    PumpedProcess(const PumpedProcess&) = delete;
    PumpedProcess& operator=(const PumpedProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // Waits up to `seconds` for the child to end; its exit status, or -1 on time-out.
    int wait(double seconds, const std::function<void()>& pump = {});
    const std::string& output() const { return output_; }
    void stop();

  private:
    void drain();

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

}  // namespace quelm::test
