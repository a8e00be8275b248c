#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace quelm::test {

// An Xorg server on the dummy driver (outputs DUMMY0 to DUMMY15, RandR 1.6, XShm, XDamage),
// for tests with several monitors. It picks its display number itself (-displayfd) and is
// stopped by its pid when released.
class DummyXorg {
  public:
    // Nothing, with the reason in `why`, when Xorg or the dummy driver cannot start here.
    static std::unique_ptr<DummyXorg> start(std::string& why);
    ~DummyXorg();
    DummyXorg(const DummyXorg&) = delete;
    DummyXorg& operator=(const DummyXorg&) = delete;

    std::string name() const { return ":" + std::to_string(number_); }
    // Runs xrandr with these arguments against the server; true when it succeeds.
    bool xrandr(const std::string& arguments) const;

  private:
    DummyXorg() = default;

    std::filesystem::path dir_;
    int number_ = -1;
    pid_t pid_ = -1;
};

}  // namespace quelm::test
