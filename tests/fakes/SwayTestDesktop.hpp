#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tests/fakes/ChildProcess.hpp"
#include "tests/fakes/HeadlessSway.hpp"
#include "tests/fakes/TestWindow.hpp"

namespace quelm::test {

// A headless sway with the tests' own window full screen in it (tests/wayland): the test
// pattern with an entry in the bottom-right corner, printing what it receives. The window's
// coordinates are the output's.
class SwayTestDesktop {
  public:
    // Nothing, with the reason, when sway or the client cannot run here.
    static std::unique_ptr<SwayTestDesktop> start(std::string& why);
    ~SwayTestDesktop();

    // After the compositor was killed: a new one on the same socket, the window shown again.
    bool restart(std::string& why);

    HeadlessSway& sway() { return *sway_; }
    ChildProcess& client() { return *client_; }
    const WindowRect& entry() const { return entry_; }
    // A command for the client ("copy TEXT", "paste").
    void send(const std::string& command);
    // The next line of the client that starts with `prefix`.
    std::optional<std::string> line(const std::string& prefix, double seconds = 5) {
        return client_->lineStarting(prefix, seconds);
    }

  private:
    SwayTestDesktop() = default;
    bool showWindow(std::string& why);

    std::unique_ptr<HeadlessSway> sway_;
    std::unique_ptr<ChildProcess> client_;
    std::string fifo_;
    WindowRect entry_;
};

}  // namespace quelm::test
