#include "tests/fakes/SwayTestDesktop.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace quelm::test {

std::unique_ptr<SwayTestDesktop> SwayTestDesktop::start(std::string& why) {
    const auto program = ChildProcess::built("tests", "quelm-wayland-test-client");
    if (access(program.c_str(), X_OK) != 0) {
        why = "not built: " + program;
        return nullptr;
    }
    std::unique_ptr<SwayTestDesktop> desktop(new SwayTestDesktop());
    desktop->sway_ = HeadlessSway::start(why);
    if (!desktop->sway_) {
        return nullptr;
    }
    desktop->fifo_ = desktop->sway_->runtimeDir() + "/commands";
    if (mkfifo(desktop->fifo_.c_str(), 0666) != 0 || chmod(desktop->fifo_.c_str(), 0666) != 0) {
        why = "no FIFO for the client's commands";
        return nullptr;
    }
    return desktop->showWindow(why) ? std::move(desktop) : nullptr;
}

bool SwayTestDesktop::showWindow(std::string& why) {
    client_ = std::make_unique<ChildProcess>(
        sway_->asUser({ChildProcess::built("tests", "quelm-wayland-test-client"), fifo_},
                      {"GDK_BACKEND=wayland", "NO_AT_BRIDGE=1"}),
        ChildProcess::piped({}));
    entry_ = {};
    // The entry is placed before the window is first drawn; either may come first.
    bool ready = false;
    while (!ready || entry_.width == 0) {
        auto line = client_->nextLine(10);
        if (!line) {
            why = "the test client did not show: " + client_->errors();
            return false;
        }
        ready = ready || line->starts_with("ready ");
        if (line->starts_with("entry ")) {
            std::sscanf(line->c_str(), "entry %d %d %d %d", &entry_.x, &entry_.y, &entry_.width,
                        &entry_.height);
        }
    }
    return true;
}

bool SwayTestDesktop::restart(std::string& why) {
    // The window went with its compositor.
    client_.reset();
    return sway_->restart(why) && showWindow(why);
}

SwayTestDesktop::~SwayTestDesktop() {
    client_.reset();
    sway_.reset();
}

void SwayTestDesktop::send(const std::string& command) {
    const int fd = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const std::string line = command + "\n";
    [[maybe_unused]] auto written = write(fd, line.data(), line.size());
    close(fd);
}

}  // namespace quelm::test
