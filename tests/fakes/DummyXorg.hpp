#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "tests/fakes/ChildProcess.hpp"

namespace quelm::test {

// An Xorg server on the dummy driver (outputs DUMMY0..DUMMY15, so RandR monitors can be
// attached, moved and mirrored with xrandr), started in a temporary directory with -displayfd
// and stopped by its pid when released.
class DummyXorg {
  public:
    // Nothing, with the reason in `why`, when Xorg cannot start here.
    static std::unique_ptr<DummyXorg> start(std::string& why);
    ~DummyXorg();
    DummyXorg(const DummyXorg&) = delete;
    DummyXorg& operator=(const DummyXorg&) = delete;

    std::string name() const { return ":" + std::to_string(number_); }
    // Runs xrandr against this server; true when it succeeds.
    bool xrandr(const std::string& arguments) const;

  private:
    explicit DummyXorg(std::filesystem::path dir) : dir_(std::move(dir)) {}
    bool launch(const std::string& xorg, std::string& why);

    std::filesystem::path dir_;
    int number_ = 0;
    std::unique_ptr<ChildProcess> server_;
};

}  // namespace quelm::test
