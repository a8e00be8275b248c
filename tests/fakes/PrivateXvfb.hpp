#pragma once

#include <sys/types.h>

#include <string>

namespace quelm::test {

// An Xvfb of the test's own: it picks a free display number itself and tells it through a
// pipe (-displayfd), so nothing is guessed. Stopped by its pid when the object goes.
class PrivateXvfb final {
  public:
    // Starts one screen of `width` x `height` at 24 bits; check `running()`.
    explicit PrivateXvfb(int width = 1024, int height = 768);
    ~PrivateXvfb();
    PrivateXvfb(const PrivateXvfb&) = delete;
    PrivateXvfb& operator=(const PrivateXvfb&) = delete;

    bool running() const { return pid_ > 0 && !display_.empty(); }
    // ":N"
    const std::string& display() const { return display_; }
    // Why it is not running, for a skip message.
    const std::string& problem() const { return problem_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
    std::string problem_;
};

}  // namespace quelm::test
