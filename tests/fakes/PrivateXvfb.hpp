#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "tests/fakes/ChildProcess.hpp"

namespace quelm::test {

// An Xvfb started for a test: it picks a free display number itself and reports it on a pipe
// (-displayfd), so parallel tests never race for a number. Stopped by its pid when released.
class PrivateXvfb {
  public:
    // Nothing, with the reason in `why`, when Xvfb is missing or dies before it is ready.
    static std::unique_ptr<PrivateXvfb> start(std::string& why, int width = 1280, int height = 720);
    ~PrivateXvfb();
    PrivateXvfb(const PrivateXvfb&) = delete;
    PrivateXvfb& operator=(const PrivateXvfb&) = delete;

    // ":N".
    std::string name() const { return ":" + std::to_string(number_); }
    pid_t pid() const { return server_ ? server_->pid() : -1; }
    // Ends the server at once (SIGKILL) and reaps it, as a crashed X server would go. The display
    // number stays reserved for restart(): otherwise a server that another test starts meanwhile
    // takes it, and the host under test connects to that one.
    void kill();
    // Kills the server if it runs and starts a new one on the same display number, as a
    // display manager brings the session's server back; false, with the reason, on failure.
    bool restart(std::string& why);

  private:
    PrivateXvfb() = default;
    // On `number`, or a free one when negative.
    bool launch(int number, std::string& why);
    // Holding the display's abstract socket name makes X servers pass the number by.
    void reserveNumber();
    void releaseNumber();

    int number_ = -1;
    std::unique_ptr<ChildProcess> server_;
    int reservation_ = -1;
    int width_ = 1280;
    int height_ = 720;
};

}  // namespace quelm::test
